#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ecat/al_state.h"
#include "ecat/frame.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace {

using namespace parvane::ecat;
using Bytes = std::vector<std::uint8_t>;

// Two datagrams, written out field by field from the frame and datagram
// tables: APRD position 0, AL status (0x0130), 2 bytes, index 0x11; then
// FPWR station 1001 (0x03E9), AL control (0x0120), data 02 00, index 0x12.
const Bytes kTwoDatagrams = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,              // destination: broadcast
    0x02, 0x00, 0x00, 0x00, 0x00, 0x01,              // source
    0x88, 0xA4,                                      // EtherType
    0x1C, 0x10,                                      // 28 bytes of datagrams, type 1
    0x01, 0x11, 0x00, 0x00, 0x30, 0x01,              // APRD, index, ADP 0, ADO 0x0130
    0x02, 0x80, 0x00, 0x00,                          // length 2, more follows; IRQ
    0x00, 0x00, 0x00, 0x00,                          // data, WKC
    0x05, 0x12, 0xE9, 0x03, 0x20, 0x01,              // FPWR, index, ADP 1001, ADO 0x0120
    0x02, 0x00, 0x00, 0x00,                          // length 2, last; IRQ
    0x02, 0x00, 0x00, 0x00,                          // data, WKC
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // pad to 60 bytes
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

TEST(Frame, BuilderWritesTheTableLayout) {
    std::array<std::uint8_t, kMaxFrameSize> buffer{};
    FrameBuilder builder(buffer);
    builder.Reset(kBroadcastMac, {0x02, 0, 0, 0, 0, 0x01});
    ASSERT_TRUE(builder.Add(Command::kAprd, 0x11, MakeAddress(0, reg::kAlStatus), 2));
    const std::uint8_t control[] = {0x02, 0x00};
    ASSERT_TRUE(builder.Add(Command::kFpwr, 0x12, MakeAddress(1001, reg::kAlControl), control));
    const auto frame = builder.Finish();
    EXPECT_EQ(Bytes(frame.begin(), frame.end()), kTwoDatagrams);
}

TEST(Frame, ReaderFindsEveryField) {
    Bytes frame = kTwoDatagrams;
    ParsedFrame parsed;
    ASSERT_TRUE(ReadFrame(frame, parsed));
    ASSERT_EQ(parsed.count, 2u);
    const DatagramView& fpwr = parsed.views[1];
    EXPECT_EQ(fpwr.bytes()[0], 5);
    EXPECT_EQ(fpwr.index(), 0x12);
    EXPECT_EQ(fpwr.adp(), 1001);
    EXPECT_EQ(fpwr.ado(), 0x0120);
    EXPECT_EQ(fpwr.length(), 2);
    EXPECT_EQ(fpwr.data()[0], 0x02);
    parsed.views[0].setWkc(3);
    EXPECT_EQ(frame[16 + 12], 3);  // the first WKC, right after its two data bytes
}

TEST(Frame, BuilderStopsAtTheLargestFrame) {
    std::array<std::uint8_t, kMaxFrameSize> buffer{};
    FrameBuilder builder(buffer);
    EXPECT_EQ(builder.RoomForData(), kMaxDatagramData);
    EXPECT_FALSE(builder.Add(Command::kLrw, 1, 0, kMaxDatagramData + 1));
    ASSERT_TRUE(builder.Add(Command::kLrw, 1, 0, kMaxDatagramData));
    EXPECT_EQ(builder.RoomForData(), 0u);
    EXPECT_FALSE(builder.Add(Command::kNop, 2, 0, 0));
    EXPECT_EQ(builder.Finish().size(), kMaxFrameSize);
}

TEST(Frame, ReaderRefusesWhatDoesNotFit) {
    struct Case {
        const char* name;
        std::size_t keep;  // bytes of kTwoDatagrams kept
        std::vector<std::pair<std::size_t, std::uint8_t>> patch;
        FrameError error;
    };
    const Case cases[] = {
        {"headers cut", 15, {}, FrameError::kTooShort},
        {"IPv4", 60, {{12, 0x08}, {13, 0x00}}, FrameError::kNotEtherCat},
        {"type 4", 60, {{15, 0x40}}, FrameError::kNotDatagrams},
        {"reserved bit", 60, {{15, 0x18}}, FrameError::kNotDatagrams},
        {"length past frame", 40, {}, FrameError::kLengthPastFrame},
        {"datagram past length", 60, {{14, 0x1B}}, FrameError::kBadDatagram},
        {"first data past length", 60, {{22, 0xFF}, {23, 0x07}}, FrameError::kBadDatagram},
        {"more follows, nothing does", 60, {{36, 0x02}, {37, 0x80}}, FrameError::kBadDatagram},
        {"empty datagram area", 60, {{14, 0x00}}, FrameError::kBadDatagram},
    };
    for (const Case& c : cases) {
        Bytes frame(kTwoDatagrams.begin(), kTwoDatagrams.begin() + static_cast<long>(c.keep));
        for (auto [at, value] : c.patch)
            frame[at] = value;
        ParsedFrame parsed;
        const auto result = ReadFrame(frame, parsed);
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), c.error) << c.name;
    }
}

TEST(Frame, CommandNamesBothWays) {
    EXPECT_STREQ(CommandName(12), "LRW");
    EXPECT_STREQ(CommandName(15), "?");
    EXPECT_EQ(CommandFromName("FRMW"), Command::kFrmw);
    EXPECT_EQ(CommandFromName("7"), Command::kBrd);
    EXPECT_FALSE(CommandFromName("15"));
    EXPECT_FALSE(CommandFromName("aprd"));
}

// AL status and control words as the ESC tables give them, and the working
// counter a slave adds: a read-write counts 1 for its read and 2 for its write.
TEST(Registers, AlWordsAndWorkingCounterFollowTheTables) {
    EXPECT_EQ(AlStatus::Decode(0x0014), AlStatus::Of(AlState::kSafeOp, true));
    EXPECT_EQ(AlStatus::Decode(0x0031), (AlStatus{0x01, true, true}));
    EXPECT_FALSE(AlStatus::Decode(0x0006).Known());
    EXPECT_EQ(AlControl::Request(AlState::kPreOp, true).Encode(), 0x0012);
    EXPECT_EQ(AlControl::Decode(0x0028), (AlControl{0x08, false, true}));
    EXPECT_EQ(WkcIncrement(Command::kLrw, true, true), 3);
    EXPECT_EQ(WkcIncrement(Command::kFprw, false, true), 2);
    EXPECT_EQ(WkcIncrement(Command::kArmw, false, true), 1);
    EXPECT_EQ(WkcIncrement(Command::kLrd, false, false), 0);
    EXPECT_TRUE(IsWrite(Command::kFrmw));
    EXPECT_FALSE(IsWrite(Command::kLwr));
}

TEST(Registers, EntriesDecodeFromTheirBytes) {
    // SM2 of a typical output slave: start 0x1100, 2 bytes, control 0x64, enabled.
    const std::uint8_t sm[8] = {0x00, 0x11, 0x02, 0x00, 0x64, 0x00, 0x01, 0x00};
    const SmEntry entry = SmEntry::Decode(std::span<const std::uint8_t, 8>(sm));
    EXPECT_EQ(entry.start, 0x1100);
    EXPECT_EQ(entry.length, 2);
    EXPECT_TRUE(entry.masterWrites());
    EXPECT_FALSE(entry.mailbox());
    EXPECT_TRUE(entry.enabled());
    EXPECT_TRUE(entry.control & SmEntry::kWatchdogTrigger);

    // FMMU 0: logical 0x00010000 bit 4 .. physical 0x1000 bit 0, 1 byte, write.
    const std::uint8_t fmmu[16] = {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x04, 0x07,
                                   0x00, 0x10, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00};
    const FmmuEntry f = FmmuEntry::Decode(std::span<const std::uint8_t, 16>(fmmu));
    EXPECT_EQ(f.logicalStart, 0x00010000u);
    EXPECT_EQ(f.logicalStartBit, 4);
    EXPECT_EQ(f.physicalStart, 0x1000);
    EXPECT_TRUE(f.writes());
    EXPECT_FALSE(f.reads());
    EXPECT_TRUE(f.active);
    std::uint8_t back[16];
    f.Encode(std::span<std::uint8_t, 16>(back));
    EXPECT_EQ(std::memcmp(back, fmmu, 16), 0);
}

TEST(Sii, ChecksumIsCrc8Poly07InitFF) {
    const std::string check = "123456789";
    EXPECT_EQ(sii::Crc8({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0xFB);
}

TEST(Sii, WriterLaysOutIdentityChecksumAndCategories) {
    sii::ImageWriter writer;
    writer.SetLong(sii::kWordVendorId, 0x00000002);
    writer.SetLong(sii::kWordProductCode, 0x044C2C52);
    const std::uint8_t fmmu[] = {sii::kFmmuOutputs, sii::kFmmuInputs, sii::kFmmuSmStatus};
    writer.AddCategory(sii::Category::kFmmu, fmmu);
    const Bytes image = writer.Finish();
    ASSERT_EQ(image.size(), 256u);  // 0x80 words of header area + category, 2 Kibit
    EXPECT_EQ(image[16], 0x02);
    EXPECT_EQ(image[20], 0x52);
    EXPECT_EQ(image[23], 0x04);
    EXPECT_EQ(image[14], sii::Crc8({image.data(), 14}));
    EXPECT_EQ(sii::WordAt(image, sii::kWordSize), 1);
    // The category at word 0x40: type 40, 2 words, three bytes and a pad byte.
    const Bytes category = {40, 0, 2, 0, 1, 2, 3, 0, 0xFF, 0xFF};
    EXPECT_EQ(Bytes(image.begin() + 0x80, image.begin() + 0x8A), category);
    const auto refs = sii::Categories(image);
    ASSERT_TRUE(refs);
    ASSERT_EQ(refs->size(), 1u);
    EXPECT_EQ((*refs)[0].wordOffset, 0x42u);
}

TEST(Sii, WalkEndsOnBlankAndCutImages) {
    const Bytes allFF(2048, 0xFF);
    Bytes allZero(2048, 0x00);
    allZero[2 * sii::kWordSize] = 0x0F;  // 16 Kibit of zero words: type 0, length 0, ...
    Bytes cut(0x84, 0);
    cut[0x80] = 30;  // general category claiming 0x100 words
    cut[0x83] = 0x01;
    auto blank = sii::Categories(allFF);
    ASSERT_TRUE(blank);  // the end marker right away
    EXPECT_TRUE(blank->empty());
    EXPECT_EQ(sii::Categories(allZero).error(), sii::WalkError::kTooMany);
    EXPECT_EQ(sii::Categories(cut).error(), sii::WalkError::kPastEnd);
}

TEST(Mailbox, HeadersMatchTheTables) {
    // A CoE SDO expedited download of 4 bytes, counter 1: mailbox length 10.
    std::uint8_t header[6];
    MailboxHeader{kSdoExpeditedLength, 0, 0, 0, static_cast<std::uint8_t>(MailboxType::kCoe), 1}
        .Encode(std::span<std::uint8_t, 6>(header));
    const std::uint8_t expected[] = {0x0A, 0x00, 0x00, 0x00, 0x00, 0x13};
    EXPECT_EQ(std::memcmp(header, expected, 6), 0);
    const MailboxHeader back = MailboxHeader::Decode(std::span<const std::uint8_t, 6>(expected));
    EXPECT_EQ(back.type, 3);
    EXPECT_EQ(back.counter, 1);
    EXPECT_EQ(CoeHeader(CoeService::kSdoRequest), 0x2000);
    EXPECT_EQ(sdo::ExpeditedDownload(1), 0x2F);
    EXPECT_EQ(sdo::ExpeditedDownload(4), 0x23);
    EXPECT_EQ(sdo::ExpeditedUploadResponse(2), 0x4B);
    EXPECT_EQ(NextMailboxCounter(7), 1);
}

// SoE and EoE headers, both ways, against bytes laid out by hand from the
// field tables: SoE op code bits 0-2, incomplete 3, error 4, drive 5-7,
// elements, IDN (or fragments left); EoE type bits 0-3, port 4-7, last
// fragment 8, time appended 9, time requested 10, then fragment word or
// result.
TEST(Mailbox, SoeAndEoeHeadersMatchTheTables) {
    struct SoeCase {
        const char* name;
        Bytes bytes;
        SoeHeader header;
    };
    const SoeCase soe[] = {
        {"write request S-0-0015 value, drive 0",
         {0x03, 0x40, 0x0F, 0x00},
         {3, false, false, 0, 0x40, 15}},
        {"write response with error, drive 1, P-0-0100",
         {0x34, 0x40, 0x64, 0x80},
         {4, false, true, 1, 0x40, 0x8064}},
        {"read response incomplete, drive 7, 3 fragments left",
         {0xEA, 0x40, 0x03, 0x00},
         {2, true, false, 7, 0x40, 3}},
        {"read request of the attribute, S-7-4095",
         {0x01, 0x04, 0xFF, 0x7F},
         {1, false, false, 0, 0x04, 0x7FFF}},
    };
    for (const SoeCase& c : soe) {
        SCOPED_TRACE(c.name);
        Bytes out(4);
        ASSERT_TRUE(c.header.Encode(out));
        EXPECT_EQ(out, c.bytes);
        const auto back = SoeHeader::Decode(c.bytes);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->opCode, c.header.opCode);
        EXPECT_EQ(back->incomplete, c.header.incomplete);
        EXPECT_EQ(back->error, c.header.error);
        EXPECT_EQ(back->driveNo, c.header.driveNo);
        EXPECT_EQ(back->elements, c.header.elements);
        EXPECT_EQ(back->idn, c.header.idn);
    }
    // An error reply ends in its code: 0x7004 (read only).
    EXPECT_EQ(SoeErrorCode(Bytes{0x34, 0x40, 0x64, 0x80, 0x04, 0x70}), 0x7004);
    EXPECT_FALSE(SoeErrorCode(Bytes{0x34, 0x40, 0x64, 0x80, 0x04}).has_value());
    EXPECT_FALSE(SoeHeader::Decode(Bytes{0x03, 0x40, 0x0F}).has_value());
    char idn[16];
    EXPECT_STREQ(IdnText(0x8064, idn), "P-0-0100");
    EXPECT_STREQ(IdnText(0x0F, idn), "S-0-0015");

    struct EoeCase {
        const char* name;
        Bytes bytes;
        EoeHeader header;
    };
    const EoeCase eoe[] = {
        {"set-IP request as an export writes it (byte 1 zero)",
         {0x02, 0x00, 0x00, 0x00},
         {2, 0, false, false, false, 0}},
        {"set-IP request with the last-fragment bit",
         {0x02, 0x01, 0x00, 0x00},
         {2, 0, true, false, false, 0}},
        {"set-IP response: no IP support",
         {0x03, 0x01, 0x01, 0x02},
         {3, 0, true, false, false, 0x0201}},
        {"fragment on port 5 with time appended",
         {0x50, 0x02, 0x41, 0x10},
         {0, 5, false, true, false, 0x1041}},
        {"get-IP request asking for the time",
         {0x06, 0x04, 0x00, 0x00},
         {6, 0, false, false, true, 0}},
    };
    for (const EoeCase& c : eoe) {
        SCOPED_TRACE(c.name);
        Bytes out(4);
        ASSERT_TRUE(c.header.Encode(out));
        EXPECT_EQ(out, c.bytes);
        const auto back = EoeHeader::Decode(c.bytes);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->type, c.header.type);
        EXPECT_EQ(back->port, c.header.port);
        EXPECT_EQ(back->lastFragment, c.header.lastFragment);
        EXPECT_EQ(back->timeAppended, c.header.timeAppended);
        EXPECT_EQ(back->timeRequested, c.header.timeRequested);
        EXPECT_EQ(back->info, c.header.info);
    }
    EXPECT_EQ(EoeResponseTo(2), EoeFrameType::kSetIpResponse);
    EXPECT_FALSE(EoeResponseTo(0).has_value());

    // A CoE emergency: service 1, code 0x8211, error register 0x01.
    const auto emergency =
        Emergency::Decode(Bytes{0x00, 0x10, 0x11, 0x82, 0x01, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
    ASSERT_TRUE(emergency.has_value());
    EXPECT_EQ(emergency->code, 0x8211);
    EXPECT_EQ(emergency->errorRegister, 0x01);
    EXPECT_EQ(emergency->data[4], 0xEE);
    EXPECT_FALSE(Emergency::Decode(Bytes{0x00, 0x30, 0x11, 0x82, 0x01, 0, 0, 0, 0, 0}));
}

// The IP parameters of a set-IP request with MAC, IP and subnet (flags 7):
// MAC 02:00:00:00:03:E9 (locally administered, from station 1001), IP
// 192.168.1.10 and subnet 255.255.255.0, each u32 little-endian. Fixed: all
// 58 bytes in place (a 62-byte frame with its header); packed: 18 bytes.
TEST(Mailbox, EoeIpParametersFixedAndPacked) {
    EoeIpParameters p;
    p.flags = eoe_ip::kMac | eoe_ip::kIp | eoe_ip::kSubnet;
    p.mac = {0x02, 0x00, 0x00, 0x00, 0x03, 0xE9};
    p.ip = 0xC0A8010A;
    p.subnet = 0xFFFFFF00;
    const Bytes packed = {0x07, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03,
                          0xE9, 0x0A, 0x01, 0xA8, 0xC0, 0x00, 0xFF, 0xFF, 0xFF};
    Bytes fixed(58, 0);
    std::copy(packed.begin(), packed.end(), fixed.begin());

    struct Case {
        const char* name;
        bool fixed;
        Bytes bytes;
    };
    for (const Case& c : {Case{"fixed", true, fixed}, Case{"packed", false, packed}}) {
        SCOPED_TRACE(c.name);
        Bytes out(64, 0xEE);
        ASSERT_EQ(p.Encode(out, c.fixed), c.bytes.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.bytes.size())), c.bytes);
        EXPECT_EQ(EoeIpParameters::Decode(c.bytes, c.fixed), p);
        // One byte short of the last field the flags include: refused.
        EXPECT_FALSE(EoeIpParameters::Decode(
            std::span(c.bytes).first(c.fixed ? 17 : c.bytes.size() - 1), c.fixed));
    }
    EXPECT_EQ(eoe_ip::kFixedFrameSize, 62u);
    Bytes tooSmall(10);
    EXPECT_EQ(p.Encode(tooSmall, false), 0u);
    // Flags naming the DNS name need 32 more bytes than the packed body has.
    Bytes named = packed;
    named[0] = 0x27;
    EXPECT_FALSE(EoeIpParameters::Decode(named, false).has_value());
}

}  // namespace
