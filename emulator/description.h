// The network description a simulated network is built from (JSON). Every key
// is optional; numbers are JSON numbers or "0x" hexadecimal texts. Unknown
// keys, wrong types and impossible values refuse the whole file with the key's
// path ("slaves[2].max_state: ...").
//
// Keys: "slaves" (each: "vendor_id", "product_code", "revision_no",
// "max_state", "refusal_code", "eeprom_busy_us", "eeprom_errors", "alias",
// "device_emulation"), "transition_ms", "eeprom_busy_us", "lose_every",
// "lose_frames", "silent_after_ms", "silent_after_frames"; "max_openings" and
// "faults" belong to the driver and are checked for their type only.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ecat/al_state.h"

namespace parvane::emulator {

struct DescribedSlave {
    // A missing identity value is the ENI slave's at the same position (0
    // beyond the ENI's slaves).
    std::optional<std::uint32_t> vendorId;
    std::optional<std::uint32_t> productCode;
    std::optional<std::uint32_t> revisionNo;
    ecat::AlState maxState = ecat::AlState::kOp;
    std::uint16_t refusalCode = 0x0011;
    std::optional<std::uint32_t> eepromBusyUs;
    std::uint32_t eepromErrors = 0;
    std::uint16_t alias = 0;
    bool deviceEmulation = false;
};

struct Description {
    std::optional<std::vector<DescribedSlave>> slaves;  // none: the ENI's slaves
    std::uint32_t transitionMs = 0;
    std::uint32_t eepromBusyUs = 0;
    std::uint32_t loseEvery = 0;
    std::vector<std::uint64_t> loseFrames;
    std::optional<std::uint32_t> silentAfterMs;
    std::optional<std::uint64_t> silentAfterFrames;
    // The driver's own keys, kept as they were given.
    std::optional<std::uint32_t> maxOpenings;
    std::string faultsJson;  // "" when absent
};

std::expected<Description, std::string> ReadDescriptionText(std::string_view text);

// One number of a description: a JSON number, or "0x" hexadecimal text, up to
// `max`; otherwise why not. The driver reads its own keys of the same file
// with it, so both readers take numbers alike.
std::expected<std::uint32_t, std::string> DescriptionNumber(const nlohmann::json& value,
                                                            std::uint32_t max);
std::expected<Description, std::string> ReadDescriptionFile(const std::filesystem::path& path);

}  // namespace parvane::emulator
