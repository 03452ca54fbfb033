// The datagram exchange against a scripted link: frames as the wire carries
// them, replies matched by index and checked whole, lost and late frames
// resent under fresh indexes, the link going away.
#include "master/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

using testsupport::Answered;
using testsupport::Frame;
using testsupport::ScriptedLink;

ExchangeOptions Options(unsigned retries = 2) {
    ExchangeOptions options;
    options.source = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    options.retries = retries;
    options.replyTimeout = std::chrono::microseconds(500);
    return options;
}

// One FPRD of AL status at station 1001, written out by hand: Ethernet
// header, EtherCAT header (14 datagram bytes, type 1), the datagram with
// index 0, two zero data bytes and a zero WKC, padded to 60 bytes.
TEST(Exchange, SendsTheFrameTheWireExpects) {
    ScriptedLink link(testsupport::AnsweringSlaves(1));
    Exchange exchange(link, Options());
    std::array<std::uint8_t, 2> data{};
    auto wkc = exchange.Transact(ecat::Command::kFprd, ecat::MakeAddress(0x03E9, 0x0130), data);
    ASSERT_TRUE(wkc);
    EXPECT_EQ(*wkc, 1);
    EXPECT_EQ(data[0], 0xA5);
    Frame expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x11, 0x22, 0x33,
                      0x44, 0x55, 0x88, 0xA4, 0x0E, 0x10, 0x04, 0x00, 0xE9, 0x03,
                      0x30, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    expected.resize(60, 0x00);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0], expected);
}

// A reply changed in one way, and whether it still answers the frame.
struct ReplyCase {
    const char* name;
    std::function<void(Frame&)> change;
    bool accepted;
};

class ExchangeReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ExchangeReply, OnlyTheFramesOwnReplyAnswersIt) {
    const ReplyCase& c = GetParam();
    ScriptedLink link([&c](const Frame& sent, int, std::deque<Frame>& out) {
        Frame reply = Answered(sent, 3);
        c.change(reply);
        out.push_back(reply);
    });
    Exchange exchange(link, Options(1));
    std::array<std::uint8_t, 4> read{};
    std::array<std::uint8_t, 2> write{0x12, 0x34};
    std::array<DatagramRequest, 2> requests{
        DatagramRequest{ecat::Command::kAprd, ecat::MakeAddress(0, 0x0130), read},
        DatagramRequest{ecat::Command::kFpwr, ecat::MakeAddress(1001, 0x0120), write}};
    auto result = exchange.Run(requests);
    const ExchangeCounters counters = exchange.counters();
    if (c.accepted) {
        ASSERT_TRUE(result) << c.name;
        EXPECT_TRUE(requests[0].answered && requests[1].answered);
        EXPECT_EQ(counters.framesSent, 1u);
        EXPECT_EQ(counters.framesDropped, 0u);
    } else {
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), Errc::kNoReply);
        EXPECT_FALSE(requests[0].answered || requests[1].answered);
        EXPECT_EQ(read, (std::array<std::uint8_t, 4>{})) << "a refused reply leaves the data alone";
        EXPECT_EQ(counters.framesSent, 2u) << "one try and one resend";
        EXPECT_EQ(counters.framesLost, 2u);
        EXPECT_EQ(counters.framesDropped, 2u);
    }
}

// Offsets in a reply of the two datagrams above: the first datagram header
// at 16, its data at 26; the second header at 32.
INSTANTIATE_TEST_SUITE_P(
    Cases, ExchangeReply,
    ::testing::Values(
        ReplyCase{"proper", [](Frame&) {}, true},
        ReplyCase{"padded and longer than sent", [](Frame& f) { f.resize(200, 0xEE); }, true},
        ReplyCase{"wrong index", [](Frame& f) { f[17] ^= 0x40; }, false},
        ReplyCase{"second datagram with another index", [](Frame& f) { f[33] ^= 0x01; }, false},
        ReplyCase{"wrong command", [](Frame& f) { f[16] = 0x04; }, false},
        ReplyCase{"register offset changed", [](Frame& f) { f[20] = 0x34; }, false},
        ReplyCase{"station address changed", [](Frame& f) { f[34] = 0xEA; }, false},
        ReplyCase{"shorter data length", [](Frame& f) { f[22] = 0x02; }, false},
        ReplyCase{"one datagram missing",
                  [](Frame& f) {
                      f[23] &= 0x7F;  // the first no longer says another follows
                      f[14] = 16;
                  },
                  false},
        ReplyCase{"cut inside the second datagram", [](Frame& f) { f.resize(40); }, false},
        ReplyCase{"only the Ethernet header", [](Frame& f) { f.resize(14); }, false},
        ReplyCase{"empty", [](Frame& f) { f.clear(); }, false},
        ReplyCase{"other EtherType", [](Frame& f) { f[13] = 0x00; }, false},
        ReplyCase{"EtherCAT length past the frame", [](Frame& f) { f[14] = 0xFF; }, false}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(Exchange, ALostFrameIsResentUnderAFreshIndex) {
    ScriptedLink link([](const Frame& sent, int number, std::deque<Frame>& out) {
        if (number >= 2)
            out.push_back(Answered(sent, 2));
    });
    Exchange exchange(link, Options(3));
    std::array<std::uint8_t, 2> data{};
    auto wkc = exchange.Transact(ecat::Command::kBrd, ecat::MakeAddress(0, 0), data);
    ASSERT_TRUE(wkc);
    EXPECT_EQ(*wkc, 2);
    ASSERT_EQ(link.sent.size(), 3u);
    EXPECT_NE(link.sent[0][17], link.sent[1][17]);
    EXPECT_NE(link.sent[1][17], link.sent[2][17]);
    const ExchangeCounters counters = exchange.counters();
    EXPECT_EQ(counters.framesLost, 2u);
    EXPECT_EQ(counters.framesReceived, 1u);
}

TEST(Exchange, ALateReplyToAnEarlierTryIsDropped) {
    // The first try's reply arrives only after the resend, and carries a
    // different reading than the resend's own reply.
    Frame firstTry;
    ScriptedLink link([&firstTry](const Frame& sent, int number, std::deque<Frame>& out) {
        if (number == 0) {
            firstTry = sent;
            return;
        }
        out.push_back(Answered(firstTry, 1, 0x11));
        out.push_back(Answered(sent, 1, 0x22));
    });
    Exchange exchange(link, Options(1));
    std::array<std::uint8_t, 1> data{};
    auto wkc = exchange.Transact(ecat::Command::kFprd, ecat::MakeAddress(1001, 0x0130), data);
    ASSERT_TRUE(wkc);
    EXPECT_EQ(data[0], 0x22);
    EXPECT_EQ(exchange.counters().framesDropped, 1u);
}

TEST(Exchange, EveryTryLostIsNoReply) {
    ScriptedLink link([](const Frame&, int, std::deque<Frame>&) {});
    Exchange exchange(link, Options(2));
    std::array<std::uint8_t, 2> data{};
    auto wkc = exchange.Transact(ecat::Command::kBrd, 0, data);
    ASSERT_FALSE(wkc);
    EXPECT_EQ(wkc.error(), Errc::kNoReply);
    EXPECT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(exchange.counters().framesLost, 3u);
}

TEST(Exchange, TheLinkGoingAwayEndsTheCall) {
    for (bool onSend : {true, false}) {
        ScriptedLink link([](const Frame&, int, std::deque<Frame>&) {});
        link.downOnSend = onSend;
        link.downOnReceive = !onSend;
        Exchange exchange(link, Options(5));
        std::array<std::uint8_t, 2> data{};
        auto wkc = exchange.Transact(ecat::Command::kBrd, 0, data);
        ASSERT_FALSE(wkc);
        EXPECT_EQ(wkc.error(), Errc::kLinkDown) << (onSend ? "send" : "receive");
        EXPECT_LE(link.sent.size(), 1u) << "no resends on a dead link";
    }
}

TEST(Exchange, ADatagramTooLargeForAFrameIsRefusedBeforeAnythingIsSent) {
    ScriptedLink link(testsupport::AnsweringSlaves(1));
    Exchange exchange(link, Options());
    std::vector<std::uint8_t> data(ecat::kMaxDatagramData + 1);
    auto wkc = exchange.Transact(ecat::Command::kLrw, 0x10000, data);
    ASSERT_FALSE(wkc);
    EXPECT_EQ(wkc.error(), Errc::kTooLarge);
    EXPECT_TRUE(link.sent.empty());
}

TEST(Exchange, ManyDatagramsGoInFullFramesInOrder) {
    // 300 reads of 10 bytes (22 bytes each on the wire): 68 fit the 1498
    // datagram bytes of a frame, so 5 frames carry them. Every slave answers
    // a read with its own ADO's low byte, so each request can be checked.
    ScriptedLink link([](const Frame& sent, int, std::deque<Frame>& out) {
        Frame reply = Answered(sent, 1);
        ecat::ParsedFrame parsed;
        if (ecat::ReadFrame(reply, parsed)) {
            for (std::size_t i = 0; i < parsed.count; ++i)
                parsed.views[i].data()[0] = static_cast<std::uint8_t>(parsed.views[i].adp());
        }
        out.push_back(reply);
    });
    Exchange exchange(link, Options());
    constexpr std::size_t kCount = 300;
    std::vector<std::array<std::uint8_t, 10>> data(kCount);
    std::vector<DatagramRequest> requests;
    for (std::size_t i = 0; i < kCount; ++i) {
        requests.push_back({ecat::Command::kFprd,
                            ecat::MakeAddress(static_cast<std::uint16_t>(1000 + i), 0x0502),
                            data[i]});
    }
    ASSERT_TRUE(exchange.Run(requests));
    ASSERT_EQ(link.sent.size(), 5u);
    for (const Frame& frame : link.sent)
        EXPECT_LE(frame.size(), ecat::kMaxFrameSize);
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(requests[i].answered) << i;
        EXPECT_EQ(data[i][0], static_cast<std::uint8_t>(1000 + i)) << i;
        EXPECT_EQ(requests[i].wkc, 1);
    }
    EXPECT_EQ(exchange.counters().datagrams, kCount);
}

TEST(Exchange, OneLostFrameAmongManyIsTheOnlyOneResent) {
    std::vector<int> answeredTries;
    ScriptedLink link([](const Frame& sent, int number, std::deque<Frame>& out) {
        if (number != 1)
            out.push_back(Answered(sent, 1));
    });
    Exchange exchange(link, Options());
    std::vector<std::array<std::uint8_t, 100>> data(40);
    std::vector<DatagramRequest> requests;
    for (auto& d : data)
        requests.push_back({ecat::Command::kLrd, 0x10000, d});
    ASSERT_TRUE(exchange.Run(requests));
    // 40 datagrams of 112 bytes: 13 per frame, so 4 frames, then the resend.
    EXPECT_EQ(link.sent.size(), 5u);
    EXPECT_EQ(exchange.counters().framesLost, 1u);
    for (const auto& r : requests)
        EXPECT_TRUE(r.answered);
}

TEST(Exchange, RequestsAnsweredBeforeAFailureKeepTheirAnswers) {
    // Frames of more than 8 datagrams' worth go in windows of several
    // frames; here only the very first frame is ever answered.
    ScriptedLink link([](const Frame& sent, int number, std::deque<Frame>& out) {
        if (number == 0)
            out.push_back(Answered(sent, 1));
    });
    Exchange exchange(link, Options(0));
    std::vector<std::array<std::uint8_t, 1400>> data(2);
    std::vector<DatagramRequest> requests;
    for (auto& d : data)
        requests.push_back({ecat::Command::kLrd, 0x10000, d});
    auto result = exchange.Run(requests);
    ASSERT_FALSE(result);
    EXPECT_TRUE(requests[0].answered);
    EXPECT_FALSE(requests[1].answered);
}

TEST(Exchange, SeveralThreadsShareOneLink) {
    ScriptedLink link(testsupport::AnsweringSlaves(1));
    Exchange exchange(link, Options());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&exchange, &failures] {
            for (int i = 0; i < 200; ++i) {
                std::array<std::uint8_t, 2> data{};
                auto wkc = exchange.Transact(ecat::Command::kBrd, 0, data);
                if (!wkc || *wkc != 1)
                    ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(exchange.counters().framesSent, 800u);
}

// A thread that keeps the link clear for its cyclic frame: another
// thread's call that could still be on the wire then waits for it; one with
// room before it goes at once; an owner that does not come is waited for a
// reply's time only.
TEST(Exchange, AReservedCallGoesFirst) {
    using namespace std::chrono_literals;
    struct Case {
        const char* name;
        std::chrono::microseconds ahead;  // the reservation, from now
        bool ownerComes;
        std::vector<std::uint8_t> order;  // first data byte of each frame sent
    };
    const Case cases[] = {
        {"close: the other call waits", 100us, true, {0xAA, 0xBB}},
        {"far: the other call goes", 10s, true, {0xBB, 0xAA}},
        {"owner late: the other call goes after a reply's time", 100us, false, {0xBB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLink link(testsupport::AnsweringSlaves(1));
        ExchangeOptions options = Options();
        options.replyTimeout = c.ownerComes ? 5s : 50ms;
        Exchange exchange(link, options);
        const auto at = ecat::Link::Clock::now() + c.ahead;
        exchange.Reserve(at, 1s);
        std::thread other([&] {
            std::array<std::uint8_t, 1> data{0xBB};
            EXPECT_TRUE(exchange.Transact(ecat::Command::kBwr, 0, data));
        });
        if (c.ahead > 1s) {
            other.join();  // nothing holds it back
            EXPECT_LT(ecat::Link::Clock::now(), at);
        }
        if (c.ownerComes) {
            // Time for a call that does not wait to reach the wire first.
            std::this_thread::sleep_for(20ms);
            std::array<std::uint8_t, 1> data{0xAA};
            EXPECT_TRUE(exchange.Transact(ecat::Command::kBwr, 0, data));
            exchange.Release();
        }
        if (other.joinable())
            other.join();
        std::vector<std::uint8_t> order;
        for (const Frame& f : link.sent)
            order.push_back(f[ecat::kEthernetHeaderSize + ecat::kEcatHeaderSize + 10]);
        EXPECT_EQ(order, c.order);
    }
}

}  // namespace
}  // namespace parvane::master
