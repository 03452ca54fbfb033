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

void KeepReply(InitCmdTrace& trace, std::span<const std::uint8_t> reply) {
    const std::size_t n = std::min(reply.size(), trace.reply.size());
    std::copy_n(reply.begin(), n, trace.reply.begin());
    trace.replyLength = static_cast<std::uint8_t>(n);
}

// One try: the datagram with the file's data, its working counter checked
// against Cnt when the file gives one.
std::expected<void, Errc> Try(Exchange& exchange, const eni::Datagram& d,
                              std::span<std::uint8_t> data, InitCmdTrace& trace) {
    std::copy(d.data.begin(), d.data.end(), data.begin());
    ++trace.tries;
    const auto wkc = exchange.Transact(d.command, d.address(), data);
    if (!wkc)
        return std::unexpected(wkc.error() == Errc::kTooLarge ? Errc::kTooLarge : Errc::kNoReply);
    trace.receivedWkc = *wkc;
    KeepReply(trace, data);
    if (d.expectedWkc && *wkc != *d.expectedWkc)
        return std::unexpected(Errc::kWrongWkc);
    return {};
}

// The command's Timeout, and the Validate's own (within it), from now on.
struct Deadlines {
    std::optional<Clock::time_point> command;
    std::optional<Clock::time_point> validate;
};

Deadlines DeadlinesOf(const eni::InitCmd& cmd) {
    const Clock::time_point start = Clock::now();
    Deadlines d;
    if (cmd.timeoutMs && *cmd.timeoutMs > 0)
        d.command = start + std::chrono::milliseconds(*cmd.timeoutMs);
    if (cmd.validate) {
        d.validate = start + std::chrono::milliseconds(cmd.validate->timeoutMs);
        if (d.command && *d.command < *d.validate)
            d.validate = d.command;
    }
    return d;
}

// How a failure reads in the log of a command.
const char* FailureText(Errc code) {
    switch (code) {
        case Errc::kNoReply:
            return "no reply";
        case Errc::kTooLarge:
            return "the datagram does not fit a frame";
        default:
            return ErrorText(code);
    }
}

}  // namespace

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

std::expected<void, Error> RunInitCmd(Exchange& exchange, const eni::InitCmd& cmd,
                                      std::stop_token stop, InitCmdTiming timing,
                                      std::span<std::uint8_t> reply, InitCmdTrace* trace) {
    const eni::Datagram& d = cmd.datagram;
    InitCmdTrace own;
    InitCmdTrace& seen = trace != nullptr ? *trace : own;
    seen = {};
    if (d.data.size() > ecat::kMaxDatagramData)
        return std::unexpected(Error{Errc::kTooLarge});
    const Deadlines deadlines = DeadlinesOf(cmd);
    std::array<std::uint8_t, ecat::kMaxDatagramData> buffer;
    const std::span<std::uint8_t> data(buffer.data(), d.data.size());
    const unsigned allowedTries = cmd.retries + 1;
    unsigned failedTries = 0;  // tries that ended without a reply or with a wrong counter

    for (;;) {
        if (stop.stop_requested())
            return std::unexpected(Error{Errc::kCancelled});
        if (const auto tried = Try(exchange, d, data, seen); !tried) {
            if (tried.error() == Errc::kTooLarge)
                return std::unexpected(Error{Errc::kTooLarge});
            ++failedTries;
            const bool pastDeadline = deadlines.command && Clock::now() >= *deadlines.command;
            if (failedTries >= allowedTries || pastDeadline ||
                !Pause(timing.retryInterval, deadlines.command, stop))
                return std::unexpected(
                    Error{stop.stop_requested() ? Errc::kCancelled : tried.error()});
            continue;
        }
        if (cmd.validate && !ValidateMatches(*cmd.validate, data)) {
            if (ShowsRefusal(cmd, data))
                return std::unexpected(Error{Errc::kRefused});
            if (Clock::now() >= *deadlines.validate ||
                !Pause(timing.retryInterval, deadlines.validate, stop))
                return std::unexpected(
                    Error{stop.stop_requested() ? Errc::kCancelled : Errc::kValidateTimeout});
            continue;  // re-read; the counter is checked again on each read
        }
        if (!reply.empty())
            std::copy_n(data.begin(), std::min(reply.size(), data.size()), reply.begin());
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

const char* DescribeFailure(const eni::InitCmd& cmd, const Error& error, const InitCmdTrace& trace,
                            std::span<char> out) {
    if (out.size() < 64) {
        if (!out.empty())
            out[0] = '\0';
        return out.data();
    }
    std::size_t at = static_cast<std::size_t>(
        std::snprintf(out.data(), out.size(), "%s", FailureText(error.code)));
    const auto put = [&](const char* format, auto... args) {
        if (at < out.size())
            at += static_cast<std::size_t>(
                std::snprintf(out.data() + at, out.size() - at, format, args...));
    };
    switch (error.code) {
        case Errc::kValidateTimeout:
        case Errc::kRefused:
            put("%s", " (read ");
            at =
                AppendBytes(out, std::min(at, out.size()), {trace.reply.data(), trace.replyLength});
            if (cmd.validate) {
                put("%s", ", expected ");
                at = AppendBytes(out, std::min(at, out.size()), cmd.validate->data);
                if (!cmd.validate->mask.empty()) {
                    put("%s", " under mask ");
                    at = AppendBytes(out, std::min(at, out.size()), cmd.validate->mask);
                }
            }
            put("; %u reads)", trace.tries);
            break;
        case Errc::kWrongWkc:
        case Errc::kNoReply:
            if (cmd.datagram.expectedWkc)
                put(" (working counter %u, expected %u; %u tries)",
                    static_cast<unsigned>(trace.receivedWkc),
                    static_cast<unsigned>(*cmd.datagram.expectedWkc), trace.tries);
            else
                put(" (%u tries)", trace.tries);
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
