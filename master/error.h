// How the master's parts report a failure: what went wrong and, where the
// slave said why, its code (the SDO abort code of a CoE abort, the code of a
// mailbox error, the SoE error code, the EoE result). One type for the
// exchange, the EEPROM reads, the init commands, the mailbox transfers, the
// bring-up and the state machine, so a failure passes up unchanged.
#pragma once

#include <cstdint>

namespace parvane::master {

enum class Errc : std::uint8_t {
    // The exchange.
    kNoReply,   // every try was lost or late
    kLinkDown,  // the link reports the wire gone
    kTooLarge,  // a datagram does not fit a frame
    // A register init command.
    kWrongWkc,         // the working counter stayed short of (or above) Cnt
    kValidateTimeout,  // the reply never matched Validate in time
    kRefused,          // the slave refused the state (AL status error flag)
    // A CoE transfer.
    kNoMailbox,     // windows too small for an SDO message
    kMailboxFull,   // SM0 stayed full (the slave never took the previous message)
    kTimeout,       // no response for this request in time
    kAbort,         // the slave aborted the transfer (detail: the abort code)
    kMailboxError,  // the slave answered with a mailbox error (detail: its code)
    kUnexpected,    // a response that breaks the protocol (wrong size, toggle, command)
    kDataTooLarge,  // the data does not fit the caller's buffer or the protocol
    // An SoE or EoE transfer.
    kSoeError,  // the drive answered with an SoE error (detail: its code)
    kEoeError,  // the slave's EoE response shows a result other than success (detail: it)
    // An EEPROM read.
    kNoSlave,      // no slave answers at the station address
    kBusyTimeout,  // the EEPROM interface stayed busy past the deadline
    kAckError,     // the EEPROM did not acknowledge, every try
    // A request the master refuses before anything goes on the wire.
    kInvalidArgument,  // a count or size the operation does not take
    kOutsideEeprom,    // bytes past the end of the slave's EEPROM
    // Opening a network interface.
    kNoInterface,   // no interface of that name (detail 1: the name cannot be one)
    kNoPermission,  // no CAP_NET_RAW
    kSystem,        // a system call failed (detail: errno; call: which)
    kBusy,          // another master holds the interface (its lock file is taken)
    kCancelled,     // a stop token asked to stop
};

struct Error {
    Errc code = Errc::kNoReply;
    std::uint32_t detail = 0;
    const char* call = nullptr;  // kSystem: the name of the system call

    friend bool operator==(const Error&, const Error&) = default;
    friend bool operator==(const Error& e, Errc c) { return e.code == c; }
};

// One line for the log: "no reply on the wire", "SDO abort", ...
const char* ErrorText(Errc code);
inline const char* ErrorText(const Error& error) {
    return ErrorText(error.code);
}

}  // namespace parvane::master
