// The network description (JSON): how the emulated slaves and their wire
// differ from the ENI, and the faults the master driver injects into its own
// operations. The emulator program and the driver both read it here. Every
// key is optional; numbers are JSON numbers or "0x" hexadecimal texts.
// Unknown keys, wrong types and impossible values refuse the whole file with
// the key's path ("slaves[2].max_state: ...").
//
// Keys: "slaves" (each: "vendor_id", "product_code", "revision_no",
// "max_state", "refusal_code", "eeprom_busy_us", "eeprom_errors", "alias",
// "device_emulation", "pdo_defaults" with "outputs" / "inputs", and for the
// DC unit "dc_drift_ppm", "dc_start_ns", "dc_forward_ns", "dc_cable_ns",
// "dc_tolerance_ns", "dc_32bit", "sync0_stops_after_ms"), "transition_ms",
// "eeprom_busy_us", "dc_drift_spread_ppm", "dc_seed", "dc_sync_checks",
// "lose_every", "lose_frames", "silent_after_ms", "silent_after_frames"; for the driver
// "max_openings" and "faults" (each: "op", "status", "times", "position",
// "offset", "state").
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "ecat/al_state.h"
#include "emulator/error.h"

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
    // The PDOs the slave's 0x1C12 (outputs) / 0x1C13 (inputs) assign until
    // the master writes them; none: what the ENI's downloads leave there.
    std::optional<std::vector<std::uint16_t>> outputPdos;
    std::optional<std::vector<std::uint16_t>> inputPdos;
    // The DC unit; a missing value is the seeded or built-in one.
    std::optional<double> dcDriftPpm;
    std::optional<std::uint64_t> dcStartNs;
    std::optional<std::uint32_t> dcForwardNs;
    std::optional<std::uint32_t> dcCableNs;
    std::optional<std::uint32_t> dcToleranceNs;
    bool dc32Bit = false;
    std::optional<std::uint32_t> sync0StopsAfterMs;
};

// The master driver's operations that a fault can make fail ("op" names them
// "MasterOpen", "MasterGetEniSlaveCount", ...).
enum class DriverOperation {
    kOpen,
    kGetEniSlaveCount,
    kGetOnlineSlaveCount,
    kGetSlaveInfo,
    kReadSlaveEeprom,
    kRequestState,
    kGetState,
};

// A status the driver answers instead of doing an operation's work, when the
// call's position, offset and state match those given.
struct DriverFault {
    DriverOperation op = DriverOperation::kOpen;
    std::optional<std::uint16_t> position;  // kGetSlaveInfo, kReadSlaveEeprom
    std::optional<std::uint16_t> offset;    // kReadSlaveEeprom
    std::optional<ecat::AlState> state;     // kRequestState
    std::uint16_t status = 0;
    std::optional<std::uint32_t> times;  // firings; empty: always
};

inline constexpr std::uint32_t kMaxOpeningsLimit = 1000;

struct Description {
    // The emulated slaves and their wire.
    std::optional<std::vector<DescribedSlave>> slaves;  // none: the ENI's slaves
    std::uint32_t transitionMs = 0;
    std::uint32_t eepromBusyUs = 0;
    // Each slave's local clock starts and drifts as `dcSeed` and its position
    // give, within +-dcDriftSpreadPpm.
    double dcDriftSpreadPpm = 100;
    std::uint32_t dcSeed = 0;
    bool dcSyncChecks = true;  // DC-synchronous devices check their SYNC0
    std::uint32_t loseEvery = 0;
    std::vector<std::uint64_t> loseFrames;
    std::optional<std::uint32_t> silentAfterMs;
    std::optional<std::uint64_t> silentAfterFrames;
    // The master driver: how many openings it grants at once, and its faults.
    std::uint32_t maxOpenings = 16;
    std::vector<DriverFault> faults;
};

// A refusal names the key path in `where` and starts its message with it; a
// file that cannot be read or parsed is named by its path.
std::expected<Description, Error> ReadDescriptionText(std::string_view text);
std::expected<Description, Error> ReadDescriptionFile(const std::filesystem::path& path);

}  // namespace parvane::emulator
