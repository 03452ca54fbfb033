// The simulated network's description, read from a JSON file. Every key is
// optional; numbers are JSON numbers or "0x" hexadecimal strings. Anything
// else (unknown keys, wrong types, impossible values) refuses the whole file
// with a message that names the key.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/error.h"
#include "driver/fault_rules.h"
#include "ecat/al_state.h"

namespace parvane::driver {

struct SimSlave {
    // A missing identity value is taken from the ENI slave at the same
    // position (0 beyond the ENI's slaves).
    std::optional<std::uint32_t> vendorId;
    std::optional<std::uint32_t> productCode;
    std::optional<std::uint32_t> revisionNo;
    ecat::AlState maxState = ecat::AlState::kOp;
};

struct SimDescription {
    std::optional<std::vector<SimSlave>> slaves;  // empty: the ENI's slaves answer
    std::uint32_t transitionMs = 0;
    std::uint32_t maxOpenings = 16;
    std::vector<FaultRule> faults;
};

inline constexpr std::uint32_t kMaxOpeningsLimit = 1000;

// The description, or why it was refused: `where` is the file's path, or the
// key path of the first value found wrong.
std::expected<SimDescription, Error> ReadSimFile(const std::filesystem::path& path);
std::expected<SimDescription, Error> ReadSimText(std::string_view text);

}  // namespace parvane::driver
