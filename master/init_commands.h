// Runs one register init command of an ENI as the file writes it: the
// datagram with its data, the working counter checked against Cnt when the
// file gives one, resent up to Retries times after no reply or a wrong
// working counter, a Validate re-read until the masked reply matches or its
// timeout passes, and the command's Timeout as a deadline for all of it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "eni/model.h"
#include "master/exchange.h"

namespace parvane::master {

// What a run of a command saw, for the log when it fails.
struct InitCmdTrace {
    std::uint16_t receivedWkc = 0;
    unsigned tries = 0;
    // The first bytes of the last reply (for an AL status read: status and
    // code).
    std::array<std::uint8_t, 8> reply{};
    std::uint8_t replyLength = 0;
};

struct InitCmdTiming {
    // Between a resend after a wrong working counter, and between the
    // re-reads of a Validate.
    std::chrono::microseconds retryInterval{1000};
};

// Runs the command; on success the reply (for reads, the bytes read) is
// copied into `reply` when one is given, as far as it fits. The error is
// kNoReply (no reply on any try), kWrongWkc, kValidateTimeout, kRefused (an
// AL status read shows the error flag where Validate wants it clear),
// kTooLarge or kCancelled; `trace`, when given, receives what the tries saw.
std::expected<void, Error> RunInitCmd(Exchange& exchange, const eni::InitCmd& cmd,
                                      std::stop_token stop, InitCmdTiming timing = {},
                                      std::span<std::uint8_t> reply = {},
                                      InitCmdTrace* trace = nullptr);

// Whether the reply matches a Validate: every byte of the expected data,
// masked by the DataMask byte at the same place (all bits count where the
// mask is shorter), equals the reply byte masked alike. A reply shorter than
// the expected data never matches.
bool ValidateMatches(const eni::Validate& validate, std::span<const std::uint8_t> reply);

// Why a command failed, for the log: "wrong working counter (working counter
// 4, expected 5; 1 tries)", "the value read never matched in time (read 01
// 00, expected 08 00 under mask 0F 00; 31 reads)", ... Writes into `out` and
// returns it.
const char* DescribeFailure(const eni::InitCmd& cmd, const Error& error, const InitCmdTrace& trace,
                            std::span<char> out);

// "FPWR 1001:0x0120 (set device state to OP)" or "LRW 0x00010000" for logs.
// Writes into `out` and returns it.
const char* DescribeDatagram(const eni::Datagram& datagram, const std::string& comment,
                             std::span<char> out);

// The register an ADP/ADO command writes, or nothing: `ado` within
// [ado, ado + data length) of a write (APWR, FPWR, BWR, APRW, FPRW, BRW).
bool WritesRegister(const eni::Datagram& datagram, std::uint16_t ado);

// The value a command writes into a 16-bit register (both bytes inside its
// data), or nothing.
std::optional<std::uint16_t> WrittenValue(const eni::Datagram& datagram, std::uint16_t ado);

}  // namespace parvane::master
