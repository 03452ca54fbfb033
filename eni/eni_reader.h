// Reads the slaves that an ENI file defines: the Slave elements directly under
// the root's Config element, in document order, each with the identity in its
// Info element. Only the identities are kept; the document is released before
// the reader returns.
#pragma once

#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "eni/error.h"
#include "eni/slave_identity.h"

namespace parvane::eni {

struct EniContents {
    std::vector<SlaveIdentity> slaves;
    Notes notes;
};

std::expected<EniContents, Error> ReadEniFile(const std::filesystem::path& path);
std::expected<EniContents, Error> ReadEniText(std::string_view text);

}  // namespace parvane::eni
