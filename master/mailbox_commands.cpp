#include "master/mailbox_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "ecat/mailbox.h"
#include "master/eoe_client.h"
#include "master/log.h"
#include "master/soe_client.h"

namespace parvane::master {
namespace {

constexpr std::size_t kSoeReadBuffer = 4096;

// Why a transfer failed, with the slave's own code where it gave one.
void DescribeError(const Error& e, std::span<char> out) {
    switch (e.code) {
        case Errc::kSoeError:
            std::snprintf(out.data(), out.size(), "SoE error 0x%04X (%s)",
                          static_cast<unsigned>(e.detail),
                          ecat::SoeErrorText(static_cast<std::uint16_t>(e.detail)));
            break;
        case Errc::kEoeError:
            std::snprintf(out.data(), out.size(), "EoE result 0x%04X (%s)",
                          static_cast<unsigned>(e.detail),
                          ecat::EoeResultText(static_cast<std::uint16_t>(e.detail)));
            break;
        case Errc::kMailboxError:
            std::snprintf(out.data(), out.size(), "mailbox error %u",
                          static_cast<unsigned>(e.detail));
            break;
        default:
            std::snprintf(out.data(), out.size(), "%s", ErrorText(e));
            break;
    }
}

std::expected<void, Error> RunSoeCmd(SoeClient& soe, const SlaveState& slave,
                                     const eni::SoeInitCmd& cmd, eni::Transition t,
                                     const std::stop_token& stop) {
    char label[160];
    char idn[16];
    ecat::IdnText(cmd.idn, idn);
    const std::chrono::milliseconds timeout(cmd.timeoutMs);
    const bool isRead = cmd.opCode == static_cast<std::uint8_t>(ecat::SoeOpCode::kReadRequest);
    if (!isRead && cmd.opCode != static_cast<std::uint8_t>(ecat::SoeOpCode::kWriteRequest)) {
        Log("%s: SoE init command with op code %u on %s drive %u (%s) for %s not run",
            Label(slave, label), static_cast<unsigned>(cmd.opCode), idn,
            static_cast<unsigned>(cmd.driveNo), cmd.comment.c_str(), eni::TransitionText(t));
        return {};
    }
    std::expected<void, Error> result;
    if (isRead) {
        std::array<std::uint8_t, kSoeReadBuffer> buffer;
        const auto read = soe.Read(cmd.driveNo, cmd.idn, cmd.elements, buffer, timeout, stop);
        if (!read)
            result = std::unexpected(read.error());
        else if (!cmd.data.empty() &&
                 !std::equal(cmd.data.begin(), cmd.data.end(), buffer.begin(),
                             buffer.begin() + static_cast<std::ptrdiff_t>(*read)))
            Log("%s: SoE read of %s drive %u (%s) for %s reads %zu bytes that differ from the "
                "file's",
                Label(slave, label), idn, static_cast<unsigned>(cmd.driveNo), cmd.comment.c_str(),
                eni::TransitionText(t), *read);
    } else {
        result = soe.Write(cmd.driveNo, cmd.idn, cmd.elements, cmd.data, timeout, stop);
    }
    if (result || result.error() == Errc::kCancelled)
        return result;
    char why[160];
    DescribeError(result.error(), why);
    Log("%s: SoE %s of %s drive %u elements 0x%02X (%s) for %s failed: %s", Label(slave, label),
        isRead ? "read" : "write", idn, static_cast<unsigned>(cmd.driveNo),
        static_cast<unsigned>(cmd.elements), cmd.comment.c_str(), eni::TransitionText(t), why);
    // A read changes nothing on the drive; a failed write leaves it short of
    // what the file configures.
    if (isRead)
        return {};
    return result;
}

}  // namespace

std::expected<void, Error> RunSoeEoeCmds(MailboxTransport& mailbox, const SlaveState& slave,
                                         const eni::Mailbox& commands, eni::Transition t,
                                         const std::stop_token& stop) {
    SoeClient soe(mailbox);
    for (const eni::SoeInitCmd& cmd : commands.soeInitCmds) {
        if (!cmd.transitions.Has(t))
            continue;
        if (auto done = RunSoeCmd(soe, slave, cmd, t, stop); !done)
            return done;
    }
    EoeClient eoe(mailbox);
    for (const eni::EoeInitCmd& cmd : commands.eoeInitCmds) {
        if (!cmd.transitions.Has(t))
            continue;
        const auto done = eoe.Run(cmd.data, std::chrono::milliseconds(cmd.timeoutMs), stop);
        if (done)
            continue;
        if (done.error() == Errc::kCancelled)
            return done;
        char label[160];
        char why[160];
        DescribeError(done.error(), why);
        Log("%s: EoE init command (%s) for %s failed: %s", Label(slave, label), cmd.comment.c_str(),
            eni::TransitionText(t), why);
        return done;
    }
    return {};
}

void LogSkippedCmds(const SlaveState& slave, const eni::Mailbox& commands, eni::Transition t) {
    for (const eni::SkippedInitCmd& cmd : commands.skippedInitCmds) {
        if (!cmd.transitions.Has(t))
            continue;
        char label[160];
        Log("%s: %s init command (%s) for %s not run: the master runs no %s init commands",
            Label(slave, label), cmd.protocol.c_str(), cmd.comment.c_str(), eni::TransitionText(t),
            cmd.protocol.c_str());
    }
}

}  // namespace parvane::master
