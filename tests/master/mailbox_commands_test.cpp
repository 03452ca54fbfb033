// A slave's mailbox init commands of one transition as the plan runner runs
// them (CoE, then SoE, then EoE; FoE and AoE only logged) against a scripted
// mailbox: the requests and replies are golden bytes laid out by hand from
// the mailbox, SoE and EoE tables.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "eni/model.h"
#include "master/al_walk.h"
#include "master/plan_runner.h"
#include "master/transition_plan.h"
#include "tests/master/scripted_mailbox.h"
#include "tests/support/kept_log.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

// A message as SM1 holds it: padded to the 128-byte window.
Bytes Reply(std::string_view hex) {
    Bytes m = Hex(hex);
    m.resize(128, 0);
    return m;
}

eni::TransitionSet Ps() {
    eni::TransitionSet set;
    set.Add(eni::Transition::kPS);
    return set;
}

// S-0-0015 (IDN 15) on drive 0: the value 01 00.
eni::SoeInitCmd SoeWrite() {
    eni::SoeInitCmd cmd;
    cmd.transitions = Ps();
    cmd.comment = "telegram type";
    cmd.idn = 15;
    cmd.data = {0x01, 0x00};
    return cmd;
}

// A 62-byte set-IP request as exports write it (header byte 1 zero): MAC,
// IP and subnet; MAC 02:00:00:00:03:E9, IP 192.168.1.10, subnet /24.
const char* kSetIp =
    "02 00 00 00 07 00 00 00 02 00 00 00 03 e9 0a 01 a8 c0 00 ff ff ff"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // gateway, DNS server, DNS name
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

eni::EoeInitCmd EoeSetIp() {
    eni::EoeInitCmd cmd;
    cmd.transitions = Ps();
    cmd.comment = "eoe init";
    cmd.data = Hex(kSetIp);
    return cmd;
}

// 0x1C12 by complete access, 130 bytes: 112 in the initiate request of a
// 128-byte window, 18 in one segment.
eni::CoeInitCmd LongDownload() {
    eni::CoeInitCmd cmd;
    cmd.transitions = Ps();
    cmd.index = 0x1C12;
    cmd.completeAccess = true;
    cmd.data.assign(130, 0x5A);
    return cmd;
}

const char* kEmergency = "0a 00 00 00 00 13 00 10 11 82 01 00 00 00 00 00";  // 0x8211

struct Case {
    const char* name;
    eni::Mailbox commands;
    // The replies to the n-th request (0 first).
    std::function<std::vector<Bytes>(int n)> answer;
    int loseReads = 0;
    std::optional<Errc> failure;
    std::uint32_t detail = 0;
    const char* logLine = nullptr;  // logged exactly once
    const char* firstRequest = nullptr;
};

eni::Mailbox With(std::vector<eni::CoeInitCmd> coe, std::vector<eni::SoeInitCmd> soe,
                  std::vector<eni::EoeInitCmd> eoe, std::vector<eni::SkippedInitCmd> skipped = {}) {
    eni::Mailbox m;
    m.sendStart = 0x1000;
    m.sendLength = 128;
    m.recvStart = 0x1080;
    m.recvLength = 128;
    m.protocols = 0x16;  // EoE, CoE, SoE
    m.coeInitCmds = std::move(coe);
    m.soeInitCmds = std::move(soe);
    m.eoeInitCmds = std::move(eoe);
    m.skippedInitCmds = std::move(skipped);
    return m;
}

std::function<std::vector<Bytes>(int)> Always(std::vector<const char*> replies) {
    return [replies](int) {
        std::vector<Bytes> out;
        for (const char* r : replies)
            out.push_back(Reply(r));
        return out;
    };
}

TEST(MailboxCommands, RunThroughTheSlavesMailbox) {
    const char* writeOk = "04 00 00 00 00 15 04 40 0f 00";
    const char* ipOk = "04 00 00 00 00 12 03 01 00 00";
    const Case cases[] = {
        {"SoE write answered", With({}, {SoeWrite()}, {}), Always({writeOk}), 0, std::nullopt, 0,
         nullptr, "06 00 00 00 00 15 03 40 0f 00 01 00"},
        {"SoE error reply fails with its code", With({}, {SoeWrite()}, {}),
         Always({"06 00 00 00 00 15 14 40 0f 00 04 70"}), 0, Errc::kSoeError, 0x7004,
         "SoE write of S-0-0015 drive 0 elements 0x40 (telegram type) for PS failed: SoE error "
         "0x7004"},
        {"EoE set IP answered", With({}, {}, {EoeSetIp()}), Always({ipOk}), 0, std::nullopt, 0,
         nullptr, "3e 00 00 00 00 12 02 00 00 00 07 00 00 00 02 00 00 00 03 e9 0a 01 a8 c0"},
        {"EoE result other than success fails with it", With({}, {}, {EoeSetIp()}),
         Always({"04 00 00 00 00 12 03 01 01 02"}), 0, Errc::kEoeError, 0x0201,
         "EoE init command (eoe init) for PS failed: EoE result 0x0201 (no IP support)"},
        {"SoE then EoE share the counter", With({}, {SoeWrite()}, {EoeSetIp()}),
         [&](int n) { return std::vector<Bytes>{Reply(n == 0 ? writeOk : ipOk)}; }, 0, std::nullopt,
         0, nullptr, nullptr},
        {"a lost reply is asked for again", With({}, {SoeWrite()}, {}), Always({writeOk}), 1,
         std::nullopt, 0, nullptr, nullptr},
        {"an emergency lost and repeated is logged once", With({}, {}, {EoeSetIp()}),
         Always({kEmergency, ipOk}), 1, std::nullopt, 0, "CoE emergency 0x8211"},
        {"a message read twice is taken once", With({}, {}, {EoeSetIp()}),
         Always({kEmergency, kEmergency, ipOk}), 0, std::nullopt, 0, "CoE emergency 0x8211"},
        {"an emergency in the middle of an SDO", With({LongDownload()}, {}, {}),
         [](int n) {
             if (n == 0)
                 return std::vector<Bytes>{
                     Reply("0a 00 00 00 00 13 00 30 60 12 1c 00 00 00 00 00")};
             return std::vector<Bytes>{Reply(kEmergency),
                                       Reply("0a 00 00 00 00 23 00 30 20 00 00 00 00 00 00 00")};
         },
         0, std::nullopt, 0, "error register 0x01, data 00 00 00 00 00"},
        {"FoE commands are logged as not run",
         With({}, {}, {}, {eni::SkippedInitCmd{"FoE", Ps(), "firmware"}}), Always({}), 0,
         std::nullopt, 0, "FoE init command (firmware) for PS not run"},
    };
    testsupport::KeptLog log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        ScriptedMailbox mailbox(128);
        int requests = 0;
        mailbox.answer = [&](const Bytes&) { return c.answer(requests++); };
        mailbox.loseReads = c.loseReads;
        testsupport::ScriptedLink link(
            testsupport::EachDatagram([&](ecat::DatagramView& d) { return mailbox.Handle(d); }));
        Exchange exchange(link, [] {
            ExchangeOptions o;
            o.replyTimeout = std::chrono::microseconds(500);
            o.retries = 0;
            return o;
        }());
        eni::NetworkConfig config;
        eni::Slave slave;
        slave.name = "Drive";
        slave.physAddr = ScriptedMailbox::kStation;
        slave.mailbox = c.commands;
        config.slaves.push_back(slave);
        std::vector<SlaveState> slaves(1);
        slaves[0].eni = &config.slaves[0];
        slaves[0].station = ScriptedMailbox::kStation;
        slaves[0].present = true;
        AlWalk al(exchange, slaves, std::chrono::milliseconds(1));
        PlanRunner runner(exchange, config, slaves, al);
        const SlavePlan plan =
            PlanSlave(config, config.slaves[0], eni::Transition::kPS, ecat::AlState::kSafeOp);

        const auto done = runner.RunMailbox(slaves[0], plan, eni::Transition::kPS, {});
        if (c.failure) {
            ASSERT_FALSE(done.has_value());
            EXPECT_EQ(done.error().code, *c.failure);
            EXPECT_EQ(done.error().detail, c.detail);
        } else {
            EXPECT_TRUE(done.has_value()) << ErrorText(done.error());
        }
        EXPECT_EQ(mailbox.repeats, c.loseReads);
        if (c.firstRequest != nullptr) {
            const Bytes want = Hex(c.firstRequest);
            ASSERT_FALSE(mailbox.requests.empty());
            const Bytes& got = mailbox.requests[0];
            EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(want.size())), want);
        }
        // Each request carries the next counter, whatever its protocol.
        for (std::size_t i = 0; i < mailbox.requests.size(); ++i)
            EXPECT_EQ(mailbox.requests[i][5] >> 4, static_cast<int>(i % 7 + 1));
        if (c.logLine != nullptr) {
            EXPECT_EQ(log.Count(c.logLine), 1u) << log.Text();
        }
    }
}

}  // namespace
}  // namespace parvane::master
