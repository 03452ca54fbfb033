// Reads the slaves that an ENI file defines: the Slave elements directly under
// the root's Config element, in document order, each with the identity in its
// Info element; and, in the same pass, the network's configuration (master,
// slaves, cyclic frames, process image) as the master and the emulated slaves
// use it. The document is released before the reader returns. The slaves of
// a long file are read on two threads; what the reader returns is the same.
#pragma once

#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "eni/error.h"
#include "eni/model.h"
#include "eni/slave_identity.h"

namespace parvane::eni {

struct EniContents {
    std::vector<SlaveIdentity> slaves;
    Notes notes;
    NetworkConfig config;  // config.slaves[i].identity == slaves[i]
};

std::expected<EniContents, Error> ReadEniFile(const std::filesystem::path& path);
std::expected<EniContents, Error> ReadEniText(std::string_view text);

// WithoutPassiveTerminals for the configuration and the identities alike,
// which stay in step.
std::size_t WithoutPassiveTerminals(EniContents& contents);

}  // namespace parvane::eni
