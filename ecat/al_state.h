// The application-layer (AL) states of an EtherCAT slave as AL control
// (0x0120) and AL status (0x0130) carry them in their low four bits, with the
// error indicator / acknowledge flag in bit 4.
#pragma once

#include <cstdint>
#include <optional>

namespace parvane::ecat {

enum class AlState : std::uint8_t {
    kInit = 0x01,
    kPreOp = 0x02,
    kBoot = 0x03,
    kSafeOp = 0x04,
    kOp = 0x08,
};

// Bit 4 of AL status: the slave refused or fell back and reports a code in
// 0x0134; bit 4 of AL control: the master acknowledges that error.
inline constexpr std::uint16_t kAlErrorFlag = 0x0010;
inline constexpr std::uint16_t kAlStateMask = 0x000F;

constexpr std::uint16_t ToWire(AlState state) {
    return static_cast<std::uint16_t>(state);
}

// The state a value names, or nothing for a value that names none.
constexpr std::optional<AlState> AlStateFrom(std::uint32_t value) {
    switch (value) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x08:
            return static_cast<AlState>(value);
        default:
            return std::nullopt;
    }
}

// The four states a whole network is driven through (BOOT is per slave and
// only for firmware updates).
constexpr bool IsNetworkState(std::uint32_t value) {
    return value == 0x01 || value == 0x02 || value == 0x04 || value == 0x08;
}

// Short upper-case name as logs print it: "INIT", "PREOP", "BOOT", "SAFEOP", "OP".
constexpr const char* AlStateName(AlState state) {
    switch (state) {
        case AlState::kInit:
            return "INIT";
        case AlState::kPreOp:
            return "PREOP";
        case AlState::kBoot:
            return "BOOT";
        case AlState::kSafeOp:
            return "SAFEOP";
        case AlState::kOp:
            return "OP";
    }
    return "?";
}

}  // namespace parvane::ecat
