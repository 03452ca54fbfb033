#include "ipc/protocol.h"

#include <gtest/gtest.h>

namespace parvane::ipc {
namespace {

TEST(Protocol, RequestRoundTripIsLittleEndian) {
    Request request{MasterExport::ReadSlaveEeprom, 0x01020304, 0x8001, 0x10, 4};
    RequestBytes bytes = EncodeRequest(request);
    EXPECT_EQ(bytes[0], 66);
    EXPECT_EQ(bytes[4], 0x04);
    EXPECT_EQ(bytes[7], 0x01);
    EXPECT_EQ(bytes[8], 0x01);
    EXPECT_EQ(bytes[9], 0x80);
    DecodedRequest decoded = DecodeRequest(bytes);
    ASSERT_TRUE(decoded.request);
    EXPECT_EQ(decoded.request->op, MasterExport::ReadSlaveEeprom);
    EXPECT_EQ(decoded.request->seq, 0x01020304u);
    EXPECT_EQ(decoded.request->arg0, 0x8001u);
    EXPECT_EQ(decoded.request->arg1, 0x10u);
    EXPECT_EQ(decoded.request->arg2, 4u);
}

TEST(Protocol, ReplyRoundTrip) {
    Reply reply{79, 9, 0x1006, kReplyInjected, 0xFFFFFFFF, 2, 3};
    auto decoded = DecodeReply(EncodeReply(reply));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->op, 79u);
    EXPECT_EQ(decoded->seq, 9u);
    EXPECT_EQ(decoded->status, 0x1006);
    EXPECT_EQ(decoded->flags, kReplyInjected);
    EXPECT_EQ(decoded->value0, 0xFFFFFFFFu);
    EXPECT_EQ(decoded->value2, 3u);
}

TEST(Protocol, ReplyBytesFollowTheDocumentedLayout) {
    // op u32 | seq u32 | status u16 | flags u16 | value0..2 u32, little-endian.
    const ReplyBytes expected = {0x1C, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,
                                 0x06, 0x10, 0x01, 0x00, 0xEF, 0xBE, 0xAD, 0xDE,
                                 0x08, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
    EXPECT_EQ(EncodeReply({28, 0x12345678, 0x1006, kReplyInjected, 0xDEADBEEF, 8, 4}), expected);
    auto decoded = DecodeReply(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->seq, 0x12345678u);
    EXPECT_EQ(decoded->status, 0x1006);
    EXPECT_EQ(decoded->value0, 0xDEADBEEFu);
    EXPECT_EQ(decoded->value1, 8u);
}

TEST(Protocol, RequestBytesFollowTheDocumentedLayout) {
    // op u32 | seq u32 | arg0 u32 | arg1 u32 | arg2 u32, little-endian.
    const RequestBytes expected = {0x29, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(EncodeRequest({MasterExport::RequestState, 2, 8, 0, 0}), expected);
}

TEST(Protocol, WrongSizesAndUnknownOpsAreNotRequests) {
    RequestBytes good = EncodeRequest({MasterExport::GetState, 5, 0, 0, 0});
    EXPECT_FALSE(DecodeRequest(std::span(good).first(19)).request);
    std::vector<std::uint8_t> longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_FALSE(DecodeRequest(longer).request);
    // Op and seq are still known, so that an error reply can echo them.
    EXPECT_EQ(DecodeRequest(longer).rawOp, 28u);
    EXPECT_EQ(DecodeRequest(longer).seq, 5u);
    EXPECT_EQ(DecodeRequest(std::span(good).first(3)).rawOp, 0u);

    for (std::uint32_t op : {0u, 1u, 13u, 27u, 33u, 80u, 0xFFFFFFFFu}) {
        RequestBytes bytes = good;
        bytes[0] = static_cast<std::uint8_t>(op);
        bytes[1] = static_cast<std::uint8_t>(op >> 8);
        bytes[2] = static_cast<std::uint8_t>(op >> 16);
        bytes[3] = static_cast<std::uint8_t>(op >> 24);
        EXPECT_FALSE(DecodeRequest(bytes).request) << op;
    }
    for (std::uint32_t op : {12u, 25u, 26u, 28u, 32u, 41u, 66u, 79u})
        EXPECT_TRUE(IsKnownOp(op));

    ReplyBytes reply = EncodeReply({});
    EXPECT_FALSE(DecodeReply(std::span(reply).first(23)));
}

}  // namespace
}  // namespace parvane::ipc
