// Reads the slaves that an ENI file defines: the Slave elements directly under
// the root's Config element, in document order, each with the identity in its
// Info element. Only the identities are kept; the document is released before
// the reader returns.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "driver/slave_identity.h"

namespace driver {

struct EniContents {
    bool loaded = false;
    std::string error;  // why the file was refused, when not loaded
    std::vector<SlaveIdentity> slaves;
    // Identity elements that are missing (they read as 0): the first few
    // described in `notes`, all of them counted.
    std::vector<std::string> notes;
    std::size_t missingElements = 0;
};

EniContents ReadEniFile(const std::filesystem::path& path);
EniContents ReadEniText(std::string_view text);

}  // namespace driver
