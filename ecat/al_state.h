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

// The bits of AL control and AL status beside the state in bits 0-3. Bit 4
// is the error bit: in the status, the slave refused or fell back and
// reports a code in 0x0134; in the control, the master acknowledges that.
// Bit 5 is the device identification: asked for in the control, loaded in
// the status.
inline constexpr std::uint16_t kAlStateBits = 0x000F;
inline constexpr std::uint16_t kAlErrorBit = 0x0010;
inline constexpr std::uint16_t kAlDeviceIdBit = 0x0020;

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

// AL status (0x0130) as a record: the state bits as the slave reports them
// (an AlState, or a value that names none), the error bit and the device-ID
// bit.
struct AlStatus {
    std::uint8_t state = 0;
    bool error = false;
    bool deviceId = false;

    static constexpr AlStatus Decode(std::uint16_t value) {
        return AlStatus{static_cast<std::uint8_t>(value & kAlStateBits), (value & kAlErrorBit) != 0,
                        (value & kAlDeviceIdBit) != 0};
    }
    static constexpr AlStatus Of(AlState state, bool error = false) {
        return AlStatus{static_cast<std::uint8_t>(ToWire(state)), error, false};
    }
    constexpr std::uint16_t Encode() const {
        return static_cast<std::uint16_t>(state | (error ? kAlErrorBit : 0) |
                                          (deviceId ? kAlDeviceIdBit : 0));
    }
    constexpr bool Is(AlState s) const { return state == ToWire(s); }
    // The state, or nothing for state bits that name none.
    constexpr std::optional<AlState> Known() const { return AlStateFrom(state); }
    constexpr bool operator==(const AlStatus&) const = default;
};

// AL control (0x0120) as a record: the requested state bits, the error
// acknowledge and the device-ID request.
struct AlControl {
    std::uint8_t state = 0;
    bool acknowledge = false;
    bool deviceIdRequest = false;

    static constexpr AlControl Decode(std::uint16_t value) {
        return AlControl{static_cast<std::uint8_t>(value & kAlStateBits),
                         (value & kAlErrorBit) != 0, (value & kAlDeviceIdBit) != 0};
    }
    static constexpr AlControl Request(AlState state, bool acknowledge = false) {
        return AlControl{static_cast<std::uint8_t>(ToWire(state)), acknowledge, false};
    }
    constexpr std::uint16_t Encode() const {
        return static_cast<std::uint16_t>(state | (acknowledge ? kAlErrorBit : 0) |
                                          (deviceIdRequest ? kAlDeviceIdBit : 0));
    }
    constexpr bool Is(AlState s) const { return state == ToWire(s); }
    constexpr std::optional<AlState> Known() const { return AlStateFrom(state); }
    constexpr bool operator==(const AlControl&) const = default;
};

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
