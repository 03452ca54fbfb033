#include "master/init_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ecat/al_state.h"
#include "ecat/registers.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;

bool IsPhysicalRead(ecat::Command command) {
    switch (command) {
        case ecat::Command::kAprd:
        case ecat::Command::kFprd:
        case ecat::Command::kAprw:
        case ecat::Command::kFprw:
            return true;
        default:
            return false;
    }
}

// Waits `interval`, or less when the deadline or a stop comes first; false
// when the caller should give up.
bool Pause(std::chrono::microseconds interval, std::optional<Clock::time_point> deadline,
           const std::stop_token& stop) {
    if (stop.stop_requested())
        return false;
    Clock::time_point until = Clock::now() + interval;
    if (deadline && *deadline < until)
        until = *deadline;
    std::this_thread::sleep_until(until);
    return !stop.stop_requested();
}

// An AL status read (2 or 6 bytes at 0x0130 of one slave) whose reply has the
// error flag set although the Validate wants it clear: the slave refused the
// state the command waits for, and waiting longer changes nothing until the
// master acknowledges.
bool ShowsRefusal(const eni::InitCmd& cmd, std::span<const std::uint8_t> reply) {
    const eni::Datagram& d = cmd.datagram;
    if (!cmd.validate || d.logical || !IsPhysicalRead(d.command) || d.ado != ecat::reg::kAlStatus ||
        reply.empty() || cmd.validate->data.empty())
        return false;
    const std::uint8_t mask = cmd.validate->mask.empty() ? 0xFF : cmd.validate->mask[0];
    const bool wantsClear =
        ecat::AlStatus::Decode(mask).error && !ecat::AlStatus::Decode(cmd.validate->data[0]).error;
    return wantsClear && ecat::AlStatus::Decode(reply[0]).error;
}

void KeepReply(InitCmdError& error, std::span<const std::uint8_t> reply) {
    const std::size_t n = std::min(reply.size(), error.reply.size());
    std::copy_n(reply.begin(), n, error.reply.begin());
    error.replyLength = static_cast<std::uint8_t>(n);
}

}  // namespace

const char* InitCmdFailureText(InitCmdFailure failure) {
    switch (failure) {
        case InitCmdFailure::kNoReply:
            return "no reply";
        case InitCmdFailure::kWrongWkc:
            return "wrong working counter";
        case InitCmdFailure::kValidateTimeout:
            return "the value read never matched in time";
        case InitCmdFailure::kRefused:
            return "the slave refused the state";
        case InitCmdFailure::kTooLarge:
            return "the datagram does not fit a frame";
        case InitCmdFailure::kCancelled:
            return "cancelled";
    }
    return "?";
}

bool ValidateMatches(const eni::Validate& validate, std::span<const std::uint8_t> reply) {
    if (reply.size() < validate.data.size())
        return false;
    for (std::size_t i = 0; i < validate.data.size(); ++i) {
        const std::uint8_t mask = i < validate.mask.size() ? validate.mask[i] : 0xFF;
        if ((reply[i] & mask) != (validate.data[i] & mask))
            return false;
    }
    return true;
}

std::expected<void, InitCmdError> RunInitCmd(Exchange& exchange, const eni::InitCmd& cmd,
                                             std::stop_token stop, InitCmdTiming timing,
                                             std::span<std::uint8_t> reply) {
    const eni::Datagram& d = cmd.datagram;
    InitCmdError error;
    error.expectedWkc = d.expectedWkc;
    if (d.data.size() > ecat::kMaxDatagramData) {
        error.failure = InitCmdFailure::kTooLarge;
        return std::unexpected(error);
    }

    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (cmd.timeoutMs && *cmd.timeoutMs > 0)
        deadline = start + std::chrono::milliseconds(*cmd.timeoutMs);
    std::optional<Clock::time_point> validateDeadline;
    if (cmd.validate) {
        const std::uint32_t ms = cmd.validate->timeoutMs;
        validateDeadline = start + std::chrono::milliseconds(ms);
        if (deadline && *deadline < *validateDeadline)
            validateDeadline = deadline;
    }

    std::array<std::uint8_t, ecat::kMaxDatagramData> buffer;
    const std::span<std::uint8_t> data(buffer.data(), d.data.size());
    const unsigned allowedTries = cmd.retries + 1;
    unsigned wkcTries = 0;  // tries that ended without a reply or with a wrong counter

    for (;;) {
        if (stop.stop_requested()) {
            error.failure = InitCmdFailure::kCancelled;
            return std::unexpected(error);
        }
        std::copy(d.data.begin(), d.data.end(), data.begin());
        ++error.tries;
        const auto wkc = exchange.Transact(d.command, d.address(), data);
        bool again = false;
        if (!wkc) {
            if (wkc.error() == ExchangeError::kTooLarge) {
                error.failure = InitCmdFailure::kTooLarge;
                return std::unexpected(error);
            }
            error.failure = InitCmdFailure::kNoReply;
            again = true;
        } else {
            error.receivedWkc = *wkc;
            KeepReply(error, data);
            if (d.expectedWkc && *wkc != *d.expectedWkc) {
                error.failure = InitCmdFailure::kWrongWkc;
                again = true;
            }
        }
        if (again) {
            ++wkcTries;
            const bool pastDeadline = deadline && Clock::now() >= *deadline;
            if (wkcTries >= allowedTries || pastDeadline ||
                !Pause(timing.retryInterval, deadline, stop)) {
                if (stop.stop_requested())
                    error.failure = InitCmdFailure::kCancelled;
                return std::unexpected(error);
            }
            continue;
        }

        if (cmd.validate && !ValidateMatches(*cmd.validate, data)) {
            if (ShowsRefusal(cmd, data)) {
                error.failure = InitCmdFailure::kRefused;
                return std::unexpected(error);
            }
            if (Clock::now() >= *validateDeadline ||
                !Pause(timing.retryInterval, validateDeadline, stop)) {
                error.failure = stop.stop_requested() ? InitCmdFailure::kCancelled
                                                      : InitCmdFailure::kValidateTimeout;
                return std::unexpected(error);
            }
            continue;  // re-read; the counter is checked again on each read
        }

        if (!reply.empty()) {
            const std::size_t n = std::min(reply.size(), data.size());
            std::copy_n(data.begin(), n, reply.begin());
        }
        return {};
    }
}

namespace {

// Appends up to 8 bytes as hex ("01 00 ...") at out[at...]; returns the new end.
std::size_t AppendBytes(std::span<char> out, std::size_t at, std::span<const std::uint8_t> bytes) {
    const std::size_t shown = std::min<std::size_t>(bytes.size(), 8);
    for (std::size_t i = 0; i < shown && at + 4 < out.size(); ++i)
        at += static_cast<std::size_t>(
            std::snprintf(out.data() + at, out.size() - at, i == 0 ? "%02X" : " %02X", bytes[i]));
    if (shown < bytes.size() && at + 5 < out.size())
        at += static_cast<std::size_t>(std::snprintf(out.data() + at, out.size() - at, " ..."));
    return at;
}

}  // namespace

const char* DescribeFailure(const eni::InitCmd& cmd, const InitCmdError& error,
                            std::span<char> out) {
    if (out.size() < 64) {
        if (!out.empty())
            out[0] = '\0';
        return out.data();
    }
    std::size_t at = static_cast<std::size_t>(
        std::snprintf(out.data(), out.size(), "%s", InitCmdFailureText(error.failure)));
    const auto put = [&](const char* format, auto... args) {
        if (at < out.size())
            at += static_cast<std::size_t>(
                std::snprintf(out.data() + at, out.size() - at, format, args...));
    };
    switch (error.failure) {
        case InitCmdFailure::kValidateTimeout:
        case InitCmdFailure::kRefused:
            put("%s", " (read ");
            at =
                AppendBytes(out, std::min(at, out.size()), {error.reply.data(), error.replyLength});
            if (cmd.validate) {
                put("%s", ", expected ");
                at = AppendBytes(out, std::min(at, out.size()), cmd.validate->data);
                if (!cmd.validate->mask.empty()) {
                    put("%s", " under mask ");
                    at = AppendBytes(out, std::min(at, out.size()), cmd.validate->mask);
                }
            }
            put("; %u reads)", error.tries);
            break;
        case InitCmdFailure::kWrongWkc:
        case InitCmdFailure::kNoReply:
            if (error.expectedWkc)
                put(" (working counter %u, expected %u; %u tries)",
                    static_cast<unsigned>(error.receivedWkc),
                    static_cast<unsigned>(*error.expectedWkc), error.tries);
            else
                put(" (%u tries)", error.tries);
            break;
        default:
            break;
    }
    return out.data();
}

const char* DescribeDatagram(const eni::Datagram& datagram, const std::string& comment,
                             std::span<char> out) {
    if (out.empty())
        return "";
    const char* name = ecat::CommandName(datagram.command);
    int n = 0;
    if (datagram.logical) {
        n = std::snprintf(out.data(), out.size(), "%s 0x%08X", name,
                          static_cast<unsigned>(datagram.logicalAddress));
    } else if (ecat::AddressingOf(datagram.command) == ecat::Addressing::kBroadcast) {
        n = std::snprintf(out.data(), out.size(), "%s 0x%04X", name,
                          static_cast<unsigned>(datagram.ado));
    } else {
        n = std::snprintf(out.data(), out.size(), "%s %u:0x%04X", name,
                          static_cast<unsigned>(datagram.adp), static_cast<unsigned>(datagram.ado));
    }
    if (!comment.empty() && n > 0 && static_cast<std::size_t>(n) < out.size())
        std::snprintf(out.data() + n, out.size() - static_cast<std::size_t>(n), " (%s)",
                      comment.c_str());
    return out.data();
}

bool WritesRegister(const eni::Datagram& datagram, std::uint16_t ado) {
    if (datagram.logical || !ecat::IsWrite(datagram.command))
        return false;
    return ado >= datagram.ado && ado - datagram.ado < static_cast<int>(datagram.data.size());
}

std::optional<std::uint16_t> WrittenValue(const eni::Datagram& datagram, std::uint16_t ado) {
    if (!WritesRegister(datagram, ado))
        return std::nullopt;
    const std::size_t at = static_cast<std::size_t>(ado - datagram.ado);
    if (at + 2 > datagram.data.size())
        return std::nullopt;
    return ecat::Get16(&datagram.data[at]);
}

}  // namespace parvane::master
