// The CoE SDO client: replies read from SM1 (golden bytes laid out by hand
// from the mailbox and SDO tables), and whole transfers against a scripted
// mailbox that can post an emergency first, lose a reply on its way back or
// answer in segments.
#include "master/coe_client.h"

#include <gtest/gtest.h>

#include <deque>

#include "ecat/byte_order.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "tests/master/scripted_mailbox.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A window of 32 bytes holding `message`, zero-padded.
Bytes Window(Bytes message) {
    message.resize(32, 0);
    return message;
}

TEST(SdoReply, ReadFromTheWindow) {
    struct Case {
        const char* name;
        Bytes window;
        SdoStep step;
        SdoReplyKind kind;
        Bytes data;
        std::uint32_t code = 0;
    };
    const Case cases[] = {
        {"download response",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x60, 0x12, 0x1C, 0x00, 0, 0, 0, 0}),
         SdoStep::kDownload,
         SdoReplyKind::kDownloadDone,
         {}},
        {"expedited upload of 2 bytes",
         Window(
             {0x0A, 0, 0, 0, 0, 0x23, 0x00, 0x30, 0x4B, 0x12, 0x1C, 0x00, 0x08, 0x00, 0xEE, 0xEE}),
         SdoStep::kUpload,
         SdoReplyKind::kUploadExpedited,
         {0x08, 0x00}},
        {"normal upload of 5 bytes",
         Window({0x0F, 0,    0, 0, 0, 0x33, 0x00, 0x30, 0x41, 0x12, 0x1C,
                 0x00, 0x05, 0, 0, 0, 'h',  'e',  'l',  'l',  'o'}),
         SdoStep::kUpload,
         SdoReplyKind::kUploadNormal,
         {'h', 'e', 'l', 'l', 'o'}},
        {"abort with its code",
         Window(
             {0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x20, 0x80, 0x12, 0x1C, 0x00, 0x00, 0x00, 0x02, 0x06}),
         SdoStep::kDownload,
         SdoReplyKind::kAbort,
         {},
         0x06020000},
        {"emergency: not ours",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x10, 0x10, 0x82, 0x11, 0, 0, 0, 0, 0}),
         SdoStep::kDownload,
         SdoReplyKind::kOther,
         {}},
        {"another object's response: not ours",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x60, 0x13, 0x1C, 0x00, 0, 0, 0, 0}),
         SdoStep::kDownload,
         SdoReplyKind::kOther,
         {}},
        {"another protocol: not ours",
         Window({0x04, 0, 0, 0, 0, 0x12, 0x01, 0x02, 0x03, 0x04}),
         SdoStep::kUpload,
         SdoReplyKind::kOther,
         {}},
        {"mailbox error",
         Window({0x04, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x08, 0x00}),
         SdoStep::kDownload,
         SdoReplyKind::kMailboxError,
         {}},
        {"length past the window",
         Window({0xFF, 0x00, 0, 0, 0, 0x13, 0x00, 0x30, 0x60}),
         SdoStep::kDownload,
         SdoReplyKind::kMalformed,
         {}},
        {"upload response to a download",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x4F, 0x12, 0x1C, 0x00, 1, 0, 0, 0}),
         SdoStep::kDownload,
         SdoReplyKind::kMalformed,
         {}},
        {"last upload segment, 3 bytes, toggle set",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x19, 'a', 'b', 'c', 0, 0, 0, 0}),
         SdoStep::kUploadSegment,
         SdoReplyKind::kUploadSegment,
         {'a', 'b', 'c'}},
        {"download segment response",
         Window({0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x30, 0x30, 0, 0, 0, 0, 0, 0, 0}),
         SdoStep::kDownloadSegment,
         SdoReplyKind::kDownloadDone,
         {}},
        {"header only", Bytes{0x0A, 0x00, 0x00}, SdoStep::kDownload, SdoReplyKind::kMalformed, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SdoReply reply = ParseSdoReply(c.window, c.step, 0x1C12, 0);
        EXPECT_EQ(reply.kind, c.kind);
        EXPECT_EQ(Bytes(reply.data.begin(), reply.data.end()), c.data);
        if (c.kind == SdoReplyKind::kAbort) {
            EXPECT_EQ(reply.abortCode, c.code);
        }
        if (c.kind == SdoReplyKind::kMailboxError) {
            EXPECT_EQ(reply.mailboxError, 0x0008);
        }
        if (c.kind == SdoReplyKind::kUploadNormal) {
            EXPECT_EQ(reply.size, 5u);
        }
    }
}

Bytes Response(std::uint8_t command, std::uint16_t index, std::uint8_t sub, Bytes rest,
               std::uint8_t service = 3) {
    Bytes m(32, 0);
    const std::size_t length = std::max<std::size_t>(10, 6 + rest.size());
    ecat::Put16(m.data(), static_cast<std::uint16_t>(length));
    m[5] = 0x03;  // CoE, counter 0
    m[7] = static_cast<std::uint8_t>(service << 4);
    m[8] = command;
    ecat::Put16(&m[9], index);
    m[11] = sub;
    for (std::size_t i = 0; i < rest.size(); ++i)
        m[12 + i] = rest[i];
    return m;
}

struct Harness {
    ScriptedMailbox mailbox;
    testsupport::ScriptedLink link{
        testsupport::EachDatagram([this](ecat::DatagramView& d) { return mailbox.Handle(d); })};
    Exchange exchange{link, [] {
                          ExchangeOptions o;
                          o.replyTimeout = std::chrono::microseconds(500);
                          o.retries = 0;
                          return o;
                      }()};
    CoeClient client{exchange, ScriptedMailbox::kWindows};
};

constexpr std::chrono::milliseconds kWait{500};

TEST(CoeClient, ExpeditedDownloadAsTheTableSays) {
    Harness h;
    h.mailbox.answer = [](const Bytes&) {
        return std::vector<Bytes>{Response(0x60, 0x6060, 0, {})};
    };
    const Bytes value{0x08};
    ASSERT_TRUE(h.client.Download(0x6060, 0, false, value, kWait, {}).has_value());
    ASSERT_EQ(h.mailbox.requests.size(), 1u);
    const Bytes& r = h.mailbox.requests[0];
    ASSERT_EQ(r.size(), 32u);  // the whole window
    // length 10, address 0, channel 0, CoE with counter 1; SDO request;
    // 0x2F = expedited download of 1 byte.
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 16),
              (Bytes{0x0A, 0, 0, 0, 0, 0x13, 0x00, 0x20, 0x2F, 0x60, 0x60, 0x00, 0x08, 0, 0, 0}));
}

TEST(CoeClient, CompleteAccessDownloadIsNormal) {
    Harness h;
    h.mailbox.answer = [](const Bytes&) {
        return std::vector<Bytes>{Response(0x60, 0x1C12, 0, {})};
    };
    const Bytes value{0x03, 0x00, 0x01, 0x16, 0x07, 0x16, 0x1C, 0x16};
    ASSERT_TRUE(h.client.Download(0x1C12, 0, true, value, kWait, {}).has_value());
    const Bytes& r = h.mailbox.requests.at(0);
    // length 10 + 8, 0x31 = normal download with size and complete access.
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 24),
              (Bytes{0x12, 0, 0, 0, 0,    0x13, 0x00, 0x20, 0x31, 0x12, 0x1C, 0x00,
                     8,    0, 0, 0, 0x03, 0x00, 0x01, 0x16, 0x07, 0x16, 0x1C, 0x16}));
}

TEST(CoeClient, TransfersThroughTheMailbox) {
    struct Case {
        const char* name;
        int emergencies;  // posted before the answer
        int loseReads;    // SM1 reads lost on the way back
        std::uint32_t abort;
        std::optional<Errc> failure;
    };
    const Case cases[] = {
        {"answered", 0, 0, 0, std::nullopt},
        {"an emergency first is skipped", 2, 0, 0, std::nullopt},
        {"a lost reply is asked for again", 0, 1, 0, std::nullopt},
        {"abort", 0, 0, 0x06090011, Errc::kAbort},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.mailbox.loseReads = c.loseReads;
        h.mailbox.answer = [&](const Bytes&) {
            std::vector<Bytes> out;
            for (int i = 0; i < c.emergencies; ++i)
                out.push_back(Response(0x00, 0x1000, 0, {}, 1));
            if (c.abort != 0) {
                Bytes code(4);
                ecat::Put32(code.data(), c.abort);
                out.push_back(Response(0x80, 0x6060, 1, code, 2));
            } else {
                out.push_back(Response(0x4F, 0x6060, 1, {0x2A}));
            }
            return out;
        };
        std::array<std::uint8_t, 4> value{};
        const auto got = h.client.Upload(0x6060, 1, false, value, kWait, {});
        if (c.failure) {
            ASSERT_FALSE(got.has_value());
            EXPECT_EQ(got.error().code, *c.failure);
            EXPECT_EQ(got.error().detail, c.abort);
        } else {
            ASSERT_TRUE(got.has_value()) << ErrorText(got.error());
            EXPECT_EQ(*got, 1u);
            EXPECT_EQ(value[0], 0x2A);
        }
        EXPECT_EQ(h.mailbox.repeats, c.loseReads);
    }
}

TEST(CoeClient, SegmentedUploadFollowsTheToggle) {
    Harness h;
    int step = 0;
    h.mailbox.answer = [&](const Bytes& request) {
        const std::uint8_t command = request[8];
        ++step;
        if (step == 1)  // 12 bytes announced, 6 fit the first message (window 32)
            return std::vector<Bytes>{
                Response(0x41, 0x1008, 0, {12, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f'})};
        const bool toggle = (command & 0x10) != 0;
        Bytes seg{0,    0,    0,
                  0,    0,    0x03,
                  0x00, 0x30, static_cast<std::uint8_t>((toggle ? 0x10 : 0) | 0x01 | (1 << 1)),
                  'g',  'h',  'i',
                  'j',  'k',  'l',
                  0};
        ecat::Put16(seg.data(), 10);
        seg.resize(32, 0);
        return std::vector<Bytes>{seg};
    };
    std::array<std::uint8_t, 64> out{};
    const auto got = h.client.Upload(0x1008, 0, false, out, kWait, {});
    ASSERT_TRUE(got.has_value()) << ErrorText(got.error());
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*got)),
              "abcdefghijkl");
}

TEST(CoeClient, NoAnswerEndsAtTheTimeout) {
    Harness h;
    h.mailbox.answer = [](const Bytes&) { return std::vector<Bytes>{}; };
    const Bytes value{1, 2};
    const auto done = h.client.Download(0x6060, 0, false, value, std::chrono::milliseconds(20), {});
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(done.error().code, Errc::kTimeout);
}

}  // namespace
}  // namespace parvane::master
