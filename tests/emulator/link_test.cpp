// The in-process link over a segment, and the wire faults a description can
// ask for: frames lost by number or every Nth, and a line gone silent.
#include <gtest/gtest.h>

#include <thread>

#include "emulator/in_process_link.h"
#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

using Clock = ecat::Link::Clock;

Bytes Brd() {
    return Frame(Datagram(7, 0x01, 0, 0x0130, Zeros(2)));
}

// Sends frames 1..n and notes which came back.
std::vector<int> Answered(ecat::Link& link, int n) {
    std::vector<int> back;
    for (int i = 1; i <= n; ++i) {
        EXPECT_TRUE(link.Send(Brd()).has_value());
        std::array<std::uint8_t, 1514> buffer;
        if (link.Receive(buffer, Clock::now()).has_value())
            back.push_back(i);
    }
    return back;
}

TEST(InProcessLink, ReplyIsTheProcessedFramePadded) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1), PlainSlave(2)}, clock);
    InProcessLink link(*segment);
    std::array<std::uint8_t, 1514> buffer;
    auto none = link.Receive(buffer, Clock::now() + std::chrono::hours(1));
    ASSERT_FALSE(none.has_value());  // at once: nothing can arrive later
    EXPECT_EQ(none.error(), ecat::LinkError::kTimeout);

    ASSERT_TRUE(link.Send(Brd()).has_value());
    auto n = link.Receive(buffer, Clock::now());
    ASSERT_TRUE(n.has_value());
    ASSERT_EQ(*n, 60u);
    Bytes expected = Hex("ff ff ff ff ff ff 02 11 22 33 44 55 88 a4 0e 10");
    const Bytes d = Datagram(7, 0x01, 2, 0x0130, Hex("01 00"), false, 2);
    expected.insert(expected.end(), d.begin(), d.end());
    expected.resize(60, 0);
    EXPECT_EQ(ToHex(Bytes(buffer.begin(), buffer.begin() + 60)), ToHex(expected));

    // Not EtherCAT: nothing comes back.
    ASSERT_TRUE(link.Send(Hex("ff ff ff ff ff ff 00 11 22 33 44 55 08 00 45 00")).has_value());
    EXPECT_FALSE(link.Receive(buffer, Clock::now()).has_value());
}

TEST(InProcessLink, LostAndSilentFrames) {
    struct Case {
        const char* description;
        std::vector<int> answered;  // of frames 1..8
    };
    const Case cases[] = {
        {R"({"lose_every": 3})", {1, 2, 4, 5, 7, 8}},
        {R"({"lose_frames": [2, 5]})", {1, 3, 4, 6, 7, 8}},
        {R"({"silent_after_frames": 4})", {1, 2, 3, 4}},
        {R"({"lose_every": 2, "silent_after_frames": 5})", {1, 3, 5}},
        {"{}", {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        FakeClock clock;
        auto segment = MakeSegment({PlainSlave(1)}, clock, c.description);
        InProcessLink link(*segment);
        EXPECT_EQ(Answered(link, 8), c.answered);
    }
}

TEST(InProcessLink, SilentAfterSomeTime) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1)}, clock, R"({"silent_after_ms": 50})");
    InProcessLink link(*segment);
    EXPECT_EQ(Answered(link, 1).size(), 1u);
    clock.AdvanceMs(49);
    EXPECT_EQ(Answered(link, 1).size(), 1u);
    clock.AdvanceMs(1);
    EXPECT_EQ(Answered(link, 3).size(), 0u);
}

TEST(InProcessLink, TwoThreadsSendAndEveryReplyArrives) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1), PlainSlave(2)}, clock);
    InProcessLink link(*segment);
    std::atomic<int> received{0};
    auto worker = [&] {
        std::array<std::uint8_t, 1514> buffer;
        for (int i = 0; i < 500; ++i) {
            ASSERT_TRUE(link.Send(Brd()).has_value());
            if (link.Receive(buffer, Clock::now()).has_value())
                ++received;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    std::array<std::uint8_t, 1514> buffer;
    while (link.Receive(buffer, Clock::now()).has_value())
        ++received;
    EXPECT_EQ(received.load(), 1000);
    EXPECT_EQ(segment->framesSeen(), 1000u);
}

}  // namespace
}  // namespace parvane::emulator::test
