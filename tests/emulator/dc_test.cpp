// Distributed clocks of the emulated slaves against a clock the test moves:
// the times a frame passes each port, the receive-time latch, system time,
// offset and delay, a step of the time control loop, SYNC0, the refusals of
// a DC-synchronous drive, and how fast a line of drifting clocks locks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "ecat/registers.h"
#include "emulator/dc_unit.h"
#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

// A line of three drifting slaves and a junction, forwarding 300 ns and
// 10 ns of cable each: times grow by 310 ns per hop into a slave, and a
// junction passes the frame to its port D before its port B.
TEST(DcTiming, FramePortTimesAlongALineAndThroughAJunction) {
    DcSettings hop;
    hop.forwardNs = 300;
    hop.cableNs = 10;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> linked;
        std::vector<std::array<std::uint32_t, 4>> at;
    };
    const Case cases[] = {
        {"line: A-B, A-B, A",
         {0x03, 0x03, 0x01},
         {{0, 1240, 0, 0}, {310, 930, 0, 0}, {620, 0, 0, 0}}},
        {"junction: D first, then B",
         {0x0B, 0x01, 0x01},
         {{0, 1240, 0, 620}, {310, 0, 0, 0}, {930, 0, 0, 0}}},
        {"port C after B", {0x07, 0x01, 0x01}, {{0, 620, 1240, 0}, {310, 0, 0, 0}, {930, 0, 0, 0}}},
        {"an open port with nobody behind it loops at once",
         {0x07, 0x01},
         {{0, 620, 920, 0}, {310, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto times = FramePortTimes(c.linked, std::vector<DcSettings>(c.linked.size(), hop));
        ASSERT_EQ(times.size(), c.at.size());
        for (std::size_t i = 0; i < c.at.size(); ++i)
            EXPECT_EQ(times[i].at, c.at[i]) << "slave " << i;
    }
}

// Slave 0 starts at 0, slave 1 at 0x10000000, slave 2 (32-bit) at
// 0x20000000; none drifts. Times below are since power-up (the segment was
// built at 0).
const Step kClockSteps[] = {
    {"features: DC, 64-bit, enhanced activation", kAprd, 0x0000, 0x0008, "00 00", "0c 01", 1},
    {"features of the 32-bit unit", kAprd, 0xFFFE, 0x0008, "00 00", "04 01", 1},
    {"time filter depth 0", kBwr, 0, 0x0934, "00", "00", 3, -1, 1000},
    {"latch receive times at 1 ms", kBwr, 0, 0x0900, "00 00 00 00", "00 00 00 00", 3},
    {"slave 0: port A at 1 ms, port B 1240 ns later", kAprd, 0x0000, 0x0900,
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
     "40 42 0f 00 18 47 0f 00 00 00 00 00 00 00 00 00", 1, -1, 1000},
    {"slave 1: 310 ns later on A, 620 ns round trip to B", kAprd, 0xFFFF, 0x0900,
     "00 00 00 00 00 00 00 00", "76 43 0f 10 e2 45 0f 10", 1},
    {"slave 1: 0x0918 is the 64-bit port A time", kAprd, 0xFFFF, 0x0918, "00 00 00 00 00 00 00 00",
     "76 43 0f 10 00 00 00 00", 1},
    {"slave 2: 620 ns later, 32 bits", kAprd, 0xFFFE, 0x0918, "ff ff ff ff ff ff ff ff",
     "ac 44 0f 20 00 00 00 00", 1},
    {"slave 1: offset -0x10000000 and delay 310", kApwr, 0xFFFF, 0x0920,
     "00 00 00 f0 ff ff ff ff 36 01 00 00", "00 00 00 f0 ff ff ff ff 36 01 00 00", 1},
    {"slave 0 reads its local time at 2 ms", kAprd, 0x0000, 0x0910, "00 00 00 00 00 00 00 00",
     "80 84 1e 00 00 00 00 00", 1},
    {"slave 1 reads the same: local + offset - delay", kAprd, 0xFFFF, 0x0910,
     "00 00 00 00 00 00 00 00", "80 84 1e 00 00 00 00 00", 1},
    {"slave 2: an offset 2000 ns short; only 4 offset bytes are kept", kApwr, 0xFFFE, 0x0920,
     "30 f8 ff df ff ff ff ff 6c 02 00 00", "30 f8 ff df ff ff ff ff 6c 02 00 00", 1},
    {"slave 2's offset and delay read back", kAprd, 0xFFFE, 0x0920,
     "00 00 00 00 00 00 00 00 00 00 00 00", "30 f8 ff df 00 00 00 00 6c 02 00 00", 1},
    {"a system time write is not stored", kApwr, 0xFFFF, 0x0910, "80 84 1e 00", "80 84 1e 00", 1},
    {"ARMW at 3 ms: slave 0 reads, the others compare", kArmw, 0x0000, 0x0910,
     "00 00 00 00 00 00 00 00", "c0 c6 2d 00 00 00 00 00", 3, -1, 1000},
    {"slave 1 matches: 0x092C 0", kAprd, 0xFFFF, 0x092C, "ff ff ff ff", "00 00 00 00", 1},
    {"slave 2 is 2000 ns behind: bit 31 set", kAprd, 0xFFFE, 0x092C, "00 00 00 00", "d0 07 00 80",
     1},
    {"speed counter start written: the loop is reset", kBwr, 0, 0x0930, "00 10", "00 10", 3},
    {"0x092C reads 0 after the reset", kAprd, 0xFFFE, 0x092C, "00 00 00 00", "00 00 00 00", 1},
    {"slave 1: offset 1500 ns ahead", kApwr, 0xFFFF, 0x0920, "dc 05 00 f0 ff ff ff ff",
     "dc 05 00 f0 ff ff ff ff", 1},
    {"FRMW at 4 ms with 4 bytes", kFrmw, 0x0000, 0x0910, "00 00 00 00", "00 09 3d 00", 3, -1, 1000},
    {"slave 1 is 1500 ns ahead: bit 31 clear", kAprd, 0xFFFF, 0x092C, "00 00 00 00", "dc 05 00 00",
     1},
    {"slave 2 again 2000 ns behind", kAprd, 0xFFFE, 0x092C, "00 00 00 00", "d0 07 00 80", 1},
    {"10 ms on, slave 1 has slewed back 600 ns (40/s of 1500 ns)", kAprd, 0xFFFF, 0x0910,
     "00 00 00 00 00 00 00 00", "04 a3 d5 00 00 00 00 00", 1, -1, 10000},
    {"slave 2 forward 800 ns (40/s of 2000 ns), 32 bits", kAprd, 0xFFFE, 0x0910,
     "00 00 00 00 00 00 00 00", "d0 9a d5 00 00 00 00 00", 1},
    {"loop reset", kBwr, 0, 0x0930, "00 10", "00 10", 3},
    {"slave 1 back to offset -0x10000000: system time 290 ns behind", kApwr, 0xFFFF, 0x0920,
     "00 00 00 f0 ff ff ff ff", "00 00 00 f0 ff ff ff ff", 1},
    // SYNC0 on slave 1 from 20 ms, every 1 ms.
    {"SYNC0 cycle 1 ms", kApwr, 0xFFFF, 0x09A0, "40 42 0f 00", "40 42 0f 00", 1},
    {"start time 20 ms", kApwr, 0xFFFF, 0x0990, "00 2d 31 01 00 00 00 00",
     "00 2d 31 01 00 00 00 00", 1},
    {"cyclic operation with SYNC0", kApwr, 0xFFFF, 0x0981, "03", "03", 1},
    {"first pulse pending", kAprd, 0xFFFF, 0x0984, "00", "01", 1},
    {"the start time cannot be written while active", kApwr, 0xFFFF, 0x0990,
     "00 00 00 00 00 00 00 00", "00 00 00 00 00 00 00 00", 1},
    {"0x0990 reads the first pulse still", kAprd, 0xFFFF, 0x0990, "00 00 00 00 00 00 00 00",
     "00 2d 31 01 00 00 00 00", 1},
    {"at 20.5 ms the next pulse is at 21 ms", kAprd, 0xFFFF, 0x0990, "00 00 00 00 00 00 00 00",
     "40 6f 40 01 00 00 00 00", 1, -1, 6500},
    {"no longer pending", kAprd, 0xFFFF, 0x0984, "ff", "00", 1},
    {"at 23.5 ms: 24 ms", kAprd, 0xFFFF, 0x0990, "00 00 00 00 00 00 00 00",
     "00 36 6e 01 00 00 00 00", 1, -1, 3000},
    // Start times already past, on slave 0 (64-bit) and slave 2 (32-bit).
    {"all: cycle 1 ms", kBwr, 0, 0x09A0, "40 42 0f 00", "40 42 0f 00", 3},
    {"slave 0: start at 1000 ns", kApwr, 0x0000, 0x0990, "e8 03 00 00 00 00 00 00",
     "e8 03 00 00 00 00 00 00", 1},
    {"slave 2: start at 1000 ns", kApwr, 0xFFFE, 0x0990, "e8 03 00 00", "e8 03 00 00", 1},
    {"slave 0 activates", kApwr, 0x0000, 0x0981, "03", "03", 1},
    {"slave 2 activates", kApwr, 0xFFFE, 0x0981, "03", "03", 1},
    {"slave 2 pending", kAprd, 0xFFFE, 0x0984, "00", "01", 1, -1, 10000},
    {"at 4.3 s the 32-bit time has come round: pulses", kAprd, 0xFFFE, 0x0984, "ff", "00", 1, -1,
     4266500},
    {"and 0x0990 reads the next one in 32 bits", kAprd, 0xFFFE, 0x0990, "00 00 00 00 00 00 00 00",
     "68 91 5b 00 00 00 00 00", 1},
    {"the 64-bit slave 0 still waits", kAprd, 0x0000, 0x0984, "00", "01", 1},
    {"and shows its start time", kAprd, 0x0000, 0x0990, "00 00 00 00 00 00 00 00",
     "e8 03 00 00 00 00 00 00", 1},
    {"switched off: nothing pending", kApwr, 0x0000, 0x0981, "00", "00", 1},
    {"0x0984 clear", kAprd, 0x0000, 0x0984, "ff", "00", 1},

};

TEST(DcClock, LatchSystemTimeLoopAndSync0OnALineOfThree) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1), PlainSlave(2), PlainSlave(3)}, clock, R"({"slaves": [
        {"dc_start_ns": 0, "dc_drift_ppm": 0, "dc_cable_ns": 10},
        {"dc_start_ns": "0x10000000", "dc_drift_ppm": 0, "dc_cable_ns": 10},
        {"dc_start_ns": "0x20000000", "dc_drift_ppm": 0, "dc_cable_ns": 10, "dc_32bit": true}]})");
    RunSteps(*segment, clock, kClockSteps);
}

// The receive times a frame latches are not in that frame's reads: a read
// behind the latching write still sees the times before, the next frame the
// new ones.
TEST(DcClock, ReceiveTimesShowFromTheNextFrame) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1)}, clock, R"({"slaves": [{"dc_start_ns": 0}]})");
    clock.AdvanceMs(1);
    Bytes datagrams = Datagram(kBwr, 1, 0, 0x0900, Zeros(4), true);
    const Bytes second = Datagram(kAprd, 2, 0, 0x0900, Zeros(4));
    datagrams.insert(datagrams.end(), second.begin(), second.end());
    Bytes frame = Frame(datagrams);
    ASSERT_EQ(segment->Process(frame), FrameOutcome::kAnswered);
    const std::size_t read = 16 + 16 + 10;  // the second datagram's data
    EXPECT_EQ(ToHex(Bytes(frame.begin() + read, frame.begin() + read + 4)), "00 00 00 00");
    clock.AdvanceUs(1);
    EXPECT_NE(ToHex(Exchange(*segment, kAprd, 0, 0x0900, Zeros(4)).data), "00 00 00 00");
}

// A frame's time at the slaves is when it arrived, as stamped, not when it
// is processed; a stamp earlier than a frame before it takes that frame's
// time, so the model's time never runs back.
TEST(DcClock, AFrameTakesItsArrivalTime) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1)}, clock, R"({"slaves": [{"dc_start_ns": 0}]})");
    const std::uint64_t built = *clock.ns;
    clock.AdvanceMs(5);
    struct Case {
        std::uint64_t arrivedMs;
        const char* latched;  // port A's receive time, read 1 ms on
    };
    // 2 ms (+ 60 ns to port A) while the clock says 5; then a stamp of 1 ms
    // after a frame at 6 ms: the time that frame last passed the slave
    // (6 ms + 182 ns).
    const Case cases[] = {{2, "bc 84 1e 00"}, {1, "36 8e 5b 00"}};
    for (const Case& c : cases) {
        Bytes frame = Frame(Datagram(kBwr, 1, 0, 0x0900, Zeros(4)));
        ASSERT_EQ(segment->Process(frame, built + c.arrivedMs * 1'000'000),
                  FrameOutcome::kAnswered);
        clock.AdvanceMs(1);
        EXPECT_EQ(ToHex(Exchange(*segment, kAprd, 0, 0x0900, Zeros(4)).data), c.latched);
    }
}

// A DC-synchronous drive (the ENI gives it a 1 ms SYNC0 cycle) brought up
// with SYNC0 set up as each case says.
struct DriveCase {
    const char* what;
    const char* slave;           // the description of the slave
    std::uint32_t cycleNs;       // written to 0x09A0
    std::int64_t startAheadNs;   // the start time from now; < 0: at 1000 ns
    std::uint8_t activation;     // written to 0x0981
    std::int64_t differenceNs;   // written to 0x0910 in OP, as the received time's lag
    std::uint32_t afterOpMs;     // time passed before the last look
    std::uint16_t status, code;  // AL status and code then
    int syncMode = -1;           // downloaded to 0x1C32:01 in PREOP; < 0: no such object
    bool eniCycle = true;        // the ENI's DC element gives a 1 ms SYNC0 cycle
    bool checks = true;          // "dc_sync_checks"
};

const DriveCase kDriveCases[] = {
    {"SYNC0 not activated: SAFEOP refused", "{}", 1000000, 10000000, 0x00, 0, 0, 0x12, 0x0030},
    {"cyclic operation without SYNC0", "{}", 1000000, 10000000, 0x01, 0, 0, 0x12, 0x0030},
    {"a cycle other than the ENI's", "{}", 2000000, 10000000, 0x03, 0, 0, 0x12, 0x0030},
    {"a start time in the past: no SYNC, OP refused", "{}", 1000000, -1, 0x03, 0, 0, 0x14, 0x002D},
    {"the first pulse more than 250 ms away", "{}", 1000000, 400000000, 0x03, 0, 0, 0x14, 0x002D},
    {"pulses 50 ms ahead: OP, and it stays", "{}", 1000000, 50000000, 0x03, 0, 200, 0x08, 0},
    {"SYNC0 stops after 30 ms: OP left", R"({"sync0_stops_after_ms": 30})", 1000000, 10000000, 0x03,
     0, 100, 0x14, 0x002C},
    {"5 us out of step for 150 ms: OP left with a PLL error", "{}", 1000000, 10000000, 0x03, 5000,
     150, 0x14, 0x0032},
    {"within a 10 us tolerance it stays", R"({"dc_tolerance_ns": 10000})", 1000000, 10000000, 0x03,
     5000, 150, 0x08, 0},
    {"checks off: no SYNC0 needed", "{}", 0, 0, 0x00, 0, 100, 0x08, 0, -1, true, false},
    {"no ENI cycle, 0x1C32:01 = 2, no SYNC0: SAFEOP refused", "{}", 1000000, 10000000, 0x00, 0, 0,
     0x12, 0x0030, 2, false},
    {"no ENI cycle, 0x1C32:01 = 2, SYNC0 on another cycle: OP", "{}", 2000000, 10000000, 0x03, 0,
     50, 0x08, 0, 2, false},
    {"no ENI cycle, 0x1C32:01 = 0 (free run): no SYNC0 needed", "{}", 0, 0, 0x00, 0, 50, 0x08, 0, 0,
     false},
};

Bytes Le(std::uint64_t v, std::size_t n) {
    Bytes b;
    for (std::size_t i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

TEST(DcDrive, SafeOpAndOpFollowSync0AndTheClockLoop) {
    for (const DriveCase& c : kDriveCases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        eni::Slave drive = MailboxSlave();
        if (c.eniCycle)
            drive.dc = eni::DcConfig{false, true, 1000000, 0, 0};
        if (c.syncMode >= 0) {
            eni::CoeInitCmd mode;
            mode.transitions.Add(eni::Transition::kPS);
            mode.ccs = 1;
            mode.index = 0x1C32;
            mode.subIndex = 1;
            mode.data = {static_cast<std::uint8_t>(c.syncMode)};
            drive.mailbox->coeInitCmds.push_back(mode);
        }
        std::string slave = c.slave;
        slave.insert(1, std::string(R"("dc_start_ns": 0, "dc_drift_ppm": 0)") +
                            (slave.size() > 2 ? ", " : ""));
        auto segment =
            MakeSegment({drive}, clock,
                        std::string(R"({"dc_sync_checks": )") + (c.checks ? "true" : "false") +
                            R"(, "slaves": [)" + slave + "]}");
        clock.AdvanceMs(1);
        const std::uint64_t now = *clock.ns - 1'000'000'000;  // the slave's system time
        const std::uint64_t start =
            c.startAheadNs < 0 ? 1000 : now + static_cast<std::uint64_t>(c.startAheadNs);
        Exchange(*segment, kApwr, 0, 0x0934, Hex("00"));  // 0x092C unfiltered
        Exchange(*segment, kApwr, 0, 0x09A0, Le(c.cycleNs, 4));
        Exchange(*segment, kApwr, 0, 0x0990, Le(start, 8));
        Exchange(*segment, kApwr, 0, 0x0981, Bytes{c.activation});
        if (c.syncMode >= 0) {
            BringUp(*segment, 0, 2);
            Bytes download = Hex("0a 00 00 00 00 33 00 20 2f 32 1c 01 00 00 00 00");
            download[12] = static_cast<std::uint8_t>(c.syncMode);
            const Bytes reply = MailboxExchange(*segment, 0, download);
            ASSERT_GT(reply.size(), 8u);
            EXPECT_EQ(reply[8], 0x60) << "0x1C32:01 download";
        }
        BringUp(*segment, 0, 8);
        if (c.differenceNs != 0) {
            const std::uint64_t received = *clock.ns - 1'000'000'000 - c.differenceNs;
            Exchange(*segment, kApwr, 0, 0x0910, Le(received, 4));
        }
        for (std::uint32_t ms = 0; ms < c.afterOpMs; ms += 10) {
            clock.AdvanceMs(10);
            Exchange(*segment, kApwr, 0, 0x1100, Hex("01 00"));  // outputs keep coming
        }
        EXPECT_EQ(AlStatus(*segment, 0), c.status);
        EXPECT_EQ(AlCode(*segment, 0), c.code);
    }
}

// A master's set-up on a line of eight clocks drifting up to +-100 ppm:
// latch, offsets and delays from the receive times, loop reset, static
// compensation (ARMW 20 us apart) or none, then one FRMW each millisecond.
// In the last 100 ms of that second every |0x092C| is below 100 ns.
std::int64_t WorstDifferenceAfterOneSecond(int staticFrames) {
    FakeClock clock;
    const double drifts[] = {100, -100, 100, -100, 37, -62, 0, 99};
    std::string slaves;
    std::vector<eni::Slave> eni;
    for (std::size_t i = 0; i < std::size(drifts); ++i) {
        slaves +=
            (i ? ", " : "") + std::string(R"({"dc_drift_ppm": )") + std::to_string(drifts[i]) + "}";
        eni.push_back(PlainSlave(static_cast<std::uint32_t>(i + 1)));
    }
    auto segment = MakeSegment(eni, clock, R"({"slaves": [)" + slaves + "]}");
    const auto n = static_cast<std::uint16_t>(eni.size());
    auto position = [](std::size_t i) { return static_cast<std::uint16_t>(0u - i); };
    auto read = [&](std::size_t i, std::uint16_t ado, std::size_t size) {
        const Bytes b = Exchange(*segment, kAprd, position(i), ado, Zeros(size)).data;
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < size; ++k)
            v |= static_cast<std::uint64_t>(b[k]) << (8 * k);
        return v;
    };
    Exchange(*segment, kBwr, 0, 0x0934, Hex("00"));
    Exchange(*segment, kBwr, 0, 0x0900, Zeros(4));
    clock.AdvanceUs(100);
    const std::uint64_t reference = read(0, 0x0918, 8);
    std::int64_t delay = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            // Half of what the round trip from the slave before loses here.
            const auto before =
                static_cast<std::int64_t>(read(i - 1, 0x0904, 4) - read(i - 1, 0x0900, 4));
            const auto own =
                i + 1 < n ? static_cast<std::int64_t>(read(i, 0x0904, 4) - read(i, 0x0900, 4)) : 0;
            delay += (before - own) / 2;
        }
        Bytes offsetAndDelay = Le(reference - read(i, 0x0918, 8), 8);
        const Bytes d = Le(static_cast<std::uint64_t>(delay), 4);
        offsetAndDelay.insert(offsetAndDelay.end(), d.begin(), d.end());
        Exchange(*segment, kApwr, position(i), 0x0920, offsetAndDelay);
    }
    Exchange(*segment, kBwr, 0, 0x0930, Hex("00 10"));
    for (int i = 0; i < staticFrames; ++i) {
        clock.AdvanceUs(20);
        Exchange(*segment, kArmw, 0, 0x0910, Zeros(8));
    }
    std::int64_t worst = 0;
    for (int ms = 0; ms < 1000; ++ms) {
        clock.AdvanceMs(1);
        EXPECT_EQ(Exchange(*segment, kFrmw, 0, 0x0910, Zeros(8)).wkc, n);
        if (ms < 900)
            continue;
        for (std::size_t i = 1; i < n; ++i) {
            const auto raw = static_cast<std::uint32_t>(read(i, 0x092C, 4));
            worst = std::max(worst, std::abs(ecat::dc::DecodeDifference(raw)));
        }
    }
    return worst;
}

TEST(DcClock, ALineOfDriftingClocksLocksWithinASecond) {
    for (const int staticFrames : {15000, 0}) {
        const std::int64_t worst = WorstDifferenceAfterOneSecond(staticFrames);
        EXPECT_LT(worst, 100) << staticFrames << " static compensation frames";
        std::printf("%d static frames: worst |0x092C| in the last 100 ms %lld ns\n", staticFrames,
                    static_cast<long long>(worst));
    }
}

}  // namespace
}  // namespace parvane::emulator::test
