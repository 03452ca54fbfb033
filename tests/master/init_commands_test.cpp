// Init commands as the ENI writes them, against a link whose answers each
// case scripts: working counters against Cnt with Retries, Validate re-reads
// and their timeout, a refusal seen in AL status, and Timeout as a deadline.
#include "master/init_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "ecat/byte_order.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

using testsupport::EachDatagram;
using testsupport::ScriptedLink;

ExchangeOptions Quick() {
    ExchangeOptions options;
    options.replyTimeout = std::chrono::microseconds(500);
    options.retries = 1;
    return options;
}

eni::InitCmd Cmd(ecat::Command command, std::uint16_t adp, std::uint16_t ado,
                 std::vector<std::uint8_t> data) {
    eni::InitCmd cmd;
    cmd.datagram.command = command;
    cmd.datagram.adp = adp;
    cmd.datagram.ado = ado;
    cmd.datagram.data = std::move(data);
    return cmd;
}

// "set device state to SAFEOP": FPWR 1001:0x0120 = 04 00, Cnt 1.
eni::InitCmd AlControl(std::uint32_t retries) {
    eni::InitCmd cmd = Cmd(ecat::Command::kFpwr, 1001, 0x0120, {0x04, 0x00});
    cmd.datagram.expectedWkc = 1;
    cmd.retries = retries;
    return cmd;
}

// "check device state for SAFEOP": FPRD 1001:0x0130, 6 bytes, Validate
// 04 00.. under mask 1F.
eni::InitCmd CheckSafeOp(std::uint32_t validateMs) {
    eni::InitCmd cmd = Cmd(ecat::Command::kFprd, 1001, 0x0130, std::vector<std::uint8_t>(6, 0));
    cmd.datagram.expectedWkc = 1;
    cmd.retries = 3;
    cmd.validate = eni::Validate{{0x04, 0x00, 0, 0, 0, 0}, {0x1F, 0, 0, 0, 0, 0}, validateMs};
    return cmd;
}

// What the scripted slave does with the n-th datagram (from 0).
using Answer = std::function<bool(ecat::DatagramView&, int n)>;

Answer Wkc(std::uint16_t wkc) {
    return [wkc](ecat::DatagramView& d, int) {
        d.setWkc(wkc);
        return true;
    };
}

// AL status reads: `first` for the first `count` reads, then `then`.
Answer Status(std::uint8_t first, int count, std::uint8_t then) {
    return [=](ecat::DatagramView& d, int n) {
        d.data()[0] = n < count ? first : then;
        d.setWkc(1);
        return true;
    };
}

struct RunCase {
    const char* name;
    eni::InitCmd cmd;
    Answer answer;
    std::optional<Errc> failure;  // nothing: succeeds
    int minCalls;
    int maxCalls;
};

TEST(InitCommands, RunAsTheFileWritesThem) {
    eni::InitCmd noCnt = Cmd(ecat::Command::kBwr, 0, 0x0010, {0, 0});
    eni::InitCmd count = Cmd(ecat::Command::kBrd, 0, 0x0130, {0, 0});
    count.datagram.expectedWkc = 5;
    count.retries = 2;
    eni::InitCmd bounded = AlControl(300);
    bounded.timeoutMs = 20;

    const RunCase cases[] = {
        {"answered with the expected counter", AlControl(3), Wkc(1), std::nullopt, 1, 1},
        {"no Cnt: any counter passes", noCnt, Wkc(0), std::nullopt, 1, 1},
        {"short of Cnt: retried, then fails", count, Wkc(4), Errc::kWrongWkc, 3, 3},
        {"short once, then right", AlControl(3),
         [](ecat::DatagramView& d, int n) {
             d.setWkc(n == 0 ? 0 : 1);
             return true;
         },
         std::nullopt, 2, 2},
        {"Timeout ends the retries early", bounded, Wkc(0), Errc::kWrongWkc, 2, 100},
        {"no reply at all", AlControl(1), [](ecat::DatagramView&, int) { return false; },
         Errc::kNoReply, 2, 8},
        {"Validate matches after re-reads", CheckSafeOp(2000), Status(0x02, 3, 0x04), std::nullopt,
         4, 4},
        {"Validate times out", CheckSafeOp(30), Status(0x02, 1 << 30, 0x02), Errc::kValidateTimeout,
         2, 1000},
        {"a refusal ends the Validate at once", CheckSafeOp(10000), Status(0x12, 1 << 30, 0x12),
         Errc::kRefused, 1, 1},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> calls{0};
        ScriptedLink link(
            EachDatagram([&](ecat::DatagramView& d) { return c.answer(d, calls++); }));
        Exchange exchange(link, Quick());
        std::stop_source stop;
        const auto result = RunInitCmd(exchange, c.cmd, stop.get_token());
        if (c.failure) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().code, *c.failure) << ErrorText(result.error());
        } else {
            EXPECT_TRUE(result.has_value()) << ErrorText(result.error());
        }
        EXPECT_GE(calls.load(), c.minCalls);
        EXPECT_LE(calls.load(), c.maxCalls);
    }
}

TEST(InitCommands, FailureCarriesTheCountersForTheLog) {
    eni::InitCmd count = Cmd(ecat::Command::kBrd, 0, 0x0130, {0, 0});
    count.datagram.expectedWkc = 5;
    ScriptedLink link(EachDatagram([](ecat::DatagramView& d) {
        d.setWkc(4);
        return true;
    }));
    Exchange exchange(link, Quick());
    InitCmdTrace trace;
    const auto result = RunInitCmd(exchange, count, std::stop_token{}, {}, {}, &trace);
    ASSERT_FALSE(result.has_value());
    char why[200];
    EXPECT_STREQ(DescribeFailure(count, result.error(), trace, why),
                 "wrong working counter (working counter 4, expected 5; 1 tries)");
}

TEST(InitCommands, ReadsHandTheReplyBack) {
    eni::InitCmd read = Cmd(ecat::Command::kFprd, 1001, 0x0508, {0, 0, 0, 0});
    ScriptedLink link(EachDatagram([](ecat::DatagramView& d) {
        ecat::Put32(d.data().data(), 0x12345678);
        d.setWkc(1);
        return true;
    }));
    Exchange exchange(link, Quick());
    std::array<std::uint8_t, 4> reply{};
    ASSERT_TRUE(RunInitCmd(exchange, read, std::stop_token{}, {}, reply).has_value());
    EXPECT_EQ(ecat::Get32(reply.data()), 0x12345678u);
}

TEST(InitCommands, AStopEndsAValidateWait) {
    ScriptedLink link(EachDatagram([](ecat::DatagramView& d) {
        d.data()[0] = 0x02;
        d.setWkc(1);
        return true;
    }));
    Exchange exchange(link, Quick());
    std::stop_source stop;
    stop.request_stop();
    const auto result = RunInitCmd(exchange, CheckSafeOp(60000), stop.get_token());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code, Errc::kCancelled);
}

TEST(InitCommands, ValidateComparesUnderTheMask) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> data, mask, reply;
        bool matches;
    };
    const Case cases[] = {
        {"equal", {0x21, 0, 0, 0}, {}, {0x21, 0, 0, 0}, true},
        {"one byte differs", {0x21, 0, 0, 0}, {}, {0x21, 0, 1, 0}, false},
        {"masked bits ignored", {0x02, 0x00}, {0x1F, 0x00}, {0xE2, 0x55}, true},
        {"error bit under the mask", {0x02, 0x00}, {0x1F, 0x00}, {0x12, 0x00}, false},
        {"short mask: the rest counts whole", {0x02, 0x07}, {0x0F}, {0x02, 0x06}, false},
        {"reply shorter than the data", {0x02, 0x00}, {}, {0x02}, false},
        {"reply longer than the data", {0x08}, {0x0F}, {0x08, 0xAA, 0xBB}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ValidateMatches(eni::Validate{c.data, c.mask, 0}, c.reply), c.matches);
    }
}

TEST(InitCommands, WhatACommandWrites) {
    struct Case {
        const char* name;
        eni::Datagram datagram;
        std::uint16_t ado;
        bool writes;
        std::optional<std::uint16_t> value;
    };
    const auto d = [](ecat::Command c, std::uint16_t ado, std::vector<std::uint8_t> data) {
        eni::Datagram g;
        g.command = c;
        g.adp = 1001;
        g.ado = ado;
        g.data = std::move(data);
        return g;
    };
    const Case cases[] = {
        {"AL control request", d(ecat::Command::kFpwr, 0x0120, {0x12, 0x00}), 0x0120, true, 0x0012},
        {"a read writes nothing", d(ecat::Command::kFprd, 0x0120, {0x12, 0x00}), 0x0120, false,
         std::nullopt},
        {"SM1 inside a 16-byte SM write",
         d(ecat::Command::kFpwr, 0x0800, std::vector<std::uint8_t>(16, 0x22)), 0x0808, true,
         0x2222},
        {"one byte: written, no 16-bit value", d(ecat::Command::kApwr, 0x0500, {0x01}), 0x0500,
         true, std::nullopt},
        {"register past the data", d(ecat::Command::kBwr, 0x0010, {0, 0}), 0x0012, false,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WritesRegister(c.datagram, c.ado), c.writes);
        EXPECT_EQ(WrittenValue(c.datagram, c.ado), c.value);
    }
}

}  // namespace
}  // namespace parvane::master
