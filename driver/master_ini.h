// The master's INI file: the network adapter the master drives, from
// `Adapter=` in its [Master] section. The file is read strictly: every line
// is blank, a comment (';' or '#'), a [section] or a key=value pair, or the
// file is refused with the line's number. Other sections and keys are left
// to whoever uses them.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "driver/error.h"

namespace parvane::driver {

// The file ECAT_MASTER_INI_FILE names, else config/master.ini beside the
// driver program.
std::filesystem::path MasterIniPath();

// The adapter the file names; nothing when the file or the key is missing.
std::expected<std::optional<std::string>, Error> ReadMasterAdapter(
    const std::filesystem::path& path);
std::expected<std::optional<std::string>, Error> ReadMasterAdapterText(std::string_view text);

}  // namespace parvane::driver
