// The AL state machine and the kinds of device it checks for: every allowed
// and refused transition with the code a refusal reports, the checks a
// device with a microcontroller makes before PREOP and SAFEOP, device
// emulation, the error acknowledge, state limits and timing, and the SM
// watchdog that drops an OP slave to SAFEOP.
#include <gtest/gtest.h>

#include <functional>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

struct Case {
    const char* what;
    std::uint16_t from;
    std::function<void(Segment&)> prepare;  // after reaching `from`
    std::uint16_t request;
    std::uint16_t status;
    std::uint16_t code;
};

void Write(Segment& s, std::uint16_t ado, const char* hex) {
    Exchange(s, 2, 0, ado, Hex(hex));
}

void ProcessDataReady(Segment& s) {
    Write(s, 0x0810, kProcessSms);
    Write(s, 0x0600, kOutputFmmu);
    Write(s, 0x0610, kInputFmmu);
    DownloadStartupObjects(s, 0);
}

const Case kCases[] = {
    {"INIT -> SAFEOP skips PREOP", 1, nullptr, 0x14, 0x11, 0x0011},
    {"INIT -> OP", 1, nullptr, 0x18, 0x11, 0x0011},
    {"INIT -> BOOT without a bootstrap mailbox", 1, nullptr, 0x13, 0x11, 0x0013},
    {"an unknown state", 1, nullptr, 0x15, 0x11, 0x0012},
    {"INIT -> PREOP without mailbox SMs", 1, nullptr, 0x12, 0x11, 0x0016},
    {"INIT -> PREOP with SM1 of the wrong length", 1,
     [](Segment& s) { Write(s, 0x0800, "00 10 80 00 26 00 01 00 80 10 40 00 22 00 01 00"); }, 0x12,
     0x11, 0x0016},
    {"INIT -> PREOP with SM0 disabled", 1,
     [](Segment& s) { Write(s, 0x0800, "00 10 80 00 26 00 00 00 80 10 80 00 22 00 01 00"); }, 0x12,
     0x11, 0x0016},
    {"INIT -> PREOP", 1, [](Segment& s) { Write(s, 0x0800, kMailboxSms); }, 0x12, 0x02, 0},
    {"PREOP -> OP skips SAFEOP", 2, nullptr, 0x18, 0x12, 0x0011},
    {"PREOP -> BOOT", 2, nullptr, 0x13, 0x12, 0x0011},
    {"PREOP -> SAFEOP without process-data SMs", 2, nullptr, 0x14, 0x12, 0x001D},
    {"PREOP -> SAFEOP with the inputs SM too long", 2,
     [](Segment& s) { Write(s, 0x0810, "00 11 02 00 64 00 01 00 80 11 04 00 20 00 01 00"); }, 0x14,
     0x12, 0x001E},
    {"PREOP -> SAFEOP with the outputs SM at another address", 2,
     [](Segment& s) { Write(s, 0x0810, "00 12 02 00 64 00 01 00 80 11 02 00 20 00 01 00"); }, 0x14,
     0x12, 0x001D},
    {"PREOP -> SAFEOP without FMMUs", 2, [](Segment& s) { Write(s, 0x0810, kProcessSms); }, 0x14,
     0x12, 0x001D},
    {"PREOP -> SAFEOP without an inputs FMMU", 2,
     [](Segment& s) {
         Write(s, 0x0810, kProcessSms);
         Write(s, 0x0600, kOutputFmmu);
     },
     0x14, 0x12, 0x001E},
    {"PREOP -> SAFEOP with the outputs FMMU reading instead of writing", 2,
     [](Segment& s) {
         Write(s, 0x0810, kProcessSms);
         Write(s, 0x0600, "00 00 01 00 02 00 00 07 00 11 00 01 01 00 00 00");
         Write(s, 0x0610, kInputFmmu);
     },
     0x14, 0x12, 0x001D},
    {"PREOP -> SAFEOP", 2, ProcessDataReady, 0x14, 0x04, 0},
    {"PREOP -> INIT", 2, nullptr, 0x11, 0x01, 0},
    {"SAFEOP -> BOOT", 4, nullptr, 0x13, 0x14, 0x0011},
    {"SAFEOP -> PREOP", 4, nullptr, 0x12, 0x02, 0},
    {"SAFEOP -> INIT", 4, nullptr, 0x11, 0x01, 0},
    {"SAFEOP -> OP with outputs", 4, [](Segment& s) { Write(s, 0x1100, "01 00"); }, 0x18, 0x08, 0},
    {"OP -> SAFEOP", 8, nullptr, 0x14, 0x04, 0},
    {"OP -> PREOP", 8, nullptr, 0x12, 0x02, 0},
    {"OP -> INIT", 8, nullptr, 0x11, 0x01, 0},
    {"OP -> BOOT", 8, nullptr, 0x13, 0x18, 0x0011},
};

TEST(AlStates, TransitionTable) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        auto segment = MakeSegment({MailboxSlave()}, clock);
        BringUp(*segment, 0, c.from);
        ASSERT_EQ(AlStatus(*segment, 0), c.from);
        if (c.prepare)
            c.prepare(*segment);
        RequestState(*segment, 0, c.request);
        EXPECT_EQ(AlStatus(*segment, 0), c.status);
        EXPECT_EQ(AlCode(*segment, 0), c.code);
    }
}

TEST(AlStates, OpWaitsForOutputsThenRefusesWithWatchdogCode) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 4);
    RequestState(*segment, 0, 0x18);
    EXPECT_EQ(AlStatus(*segment, 0), 0x04);  // still waiting for outputs
    clock.AdvanceMs(101);                    // longer than the SM watchdog (100 ms)
    EXPECT_EQ(AlStatus(*segment, 0), 0x14);
    EXPECT_EQ(AlCode(*segment, 0), 0x001B);
}

TEST(AlStates, AnErrorHoldsUntilAcknowledged) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 2);
    RequestState(*segment, 0, 0x14);  // refused: no process-data SMs
    ASSERT_EQ(AlStatus(*segment, 0), 0x12);
    ProcessDataReady(*segment);
    RequestState(*segment, 0, 0x04);  // no acknowledge: ignored
    EXPECT_EQ(AlStatus(*segment, 0), 0x12);
    EXPECT_EQ(AlCode(*segment, 0), 0x001D);
    RequestState(*segment, 0, 0x12);  // acknowledge, stay in PREOP
    EXPECT_EQ(AlStatus(*segment, 0), 0x02);
    EXPECT_EQ(AlCode(*segment, 0), 0);
    RequestState(*segment, 0, 0x15);
    ASSERT_EQ(AlStatus(*segment, 0), 0x12);
    RequestState(*segment, 0, 0x01);  // a request for INIT clears the error too
    EXPECT_EQ(AlStatus(*segment, 0), 0x01);
    EXPECT_EQ(AlCode(*segment, 0), 0);
}

TEST(AlStates, MaxStateRefusesWithTheDescribedCode) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave(), MailboxSlave()}, clock,
                               R"({"slaves": [{"max_state": 2},
                                              {"max_state": 4, "refusal_code": "0x0020"}]})");
    BringUp(*segment, 0, 2);
    RequestState(*segment, 0, 0x14);
    EXPECT_EQ(AlStatus(*segment, 0), 0x12);
    EXPECT_EQ(AlCode(*segment, 0), 0x0011);
    BringUp(*segment, 0xFFFF, 8);
    EXPECT_EQ(AlStatus(*segment, 0xFFFF), 0x14);
    EXPECT_EQ(AlCode(*segment, 0xFFFF), 0x0020);
}

TEST(AlStates, TransitionTimeDelaysTheNewState) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock, R"({"transition_ms": 300})");
    Write(*segment, 0x0800, kMailboxSms);
    RequestState(*segment, 0, 0x12);
    EXPECT_EQ(AlStatus(*segment, 0), 0x01);
    clock.AdvanceMs(200);
    RequestState(*segment, 0, 0x12);  // asked again: the change under way goes on
    clock.AdvanceMs(99);
    EXPECT_EQ(AlStatus(*segment, 0), 0x01);
    clock.AdvanceMs(1);
    EXPECT_EQ(AlStatus(*segment, 0), 0x02);
}

TEST(AlStates, DeviceEmulationCopiesTheRequestWithoutChecks) {
    FakeClock clock;
    auto segment =
        MakeSegment({PlainSlave(5)}, clock, R"({"slaves": [{"device_emulation": true}]})");
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x0141, Zeros(1)).data, Hex("01"));
    RequestState(*segment, 0, 0x02);
    EXPECT_EQ(AlStatus(*segment, 0), 0x02);
    RequestState(*segment, 0, 0x04);
    EXPECT_EQ(AlStatus(*segment, 0), 0x04);
}

TEST(AlStates, WatchdogDropsOpToSafeOpWhenOutputsPause) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 8);
    ASSERT_EQ(AlStatus(*segment, 0), 0x08);
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x0440, Zeros(1)).data, Hex("01"));
    // Outputs every 60 ms keep it in OP (watchdog 1000 x 100 us = 100 ms).
    for (int i = 0; i < 5; ++i) {
        clock.AdvanceMs(60);
        Write(*segment, 0x1100, "02 00");
        EXPECT_EQ(AlStatus(*segment, 0), 0x08);
    }
    // Through the FMMU as well: an LWR of the outputs restarts it.
    clock.AdvanceMs(60);
    EXPECT_EQ(Exchange(*segment, 11, 0x0000, 0x0001, Hex("03 00")).wkc, 1);
    clock.AdvanceMs(60);
    EXPECT_EQ(AlStatus(*segment, 0), 0x08);
    clock.AdvanceMs(41);  // 101 ms without outputs
    EXPECT_EQ(AlStatus(*segment, 0), 0x14);
    EXPECT_EQ(AlCode(*segment, 0), 0x001B);
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x0440, Zeros(4)).data, Hex("00 00 01 00"));
}

TEST(AlStates, WatchdogTimeFollowsTheRegisters) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    Write(*segment, 0x0420, "0a 00");  // 10 ticks of 100 us = 1 ms
    BringUp(*segment, 0, 8);
    ASSERT_EQ(AlStatus(*segment, 0), 0x08);
    clock.AdvanceUs(900);
    EXPECT_EQ(AlStatus(*segment, 0), 0x08);
    clock.AdvanceUs(200);
    EXPECT_EQ(AlStatus(*segment, 0), 0x14);
}

}  // namespace
}  // namespace parvane::emulator::test
