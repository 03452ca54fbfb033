// The mailbox (SM0 in, SM1 out, counters, repeat) and the CoE SDO server:
// requests and the replies they must get, byte for byte, as the mailbox and
// CoE tables lay them out.
#include <gtest/gtest.h>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

struct Step {
    const char* what;
    const char* request;  // the whole mailbox message written into SM0
    const char* reply;    // the start of SM1 afterwards; "" = SM1 stays empty
};

// In PREOP; the slave's reply counter runs 1, 2, ... 7, 1, ...
const Step kSteps[] = {
    {"expedited download of 1 byte (0x1C12:00 = 0)",
     "0a 00 00 00 00 13 00 20 2f 12 1c 00 00 00 00 00",
     "0a 00 00 00 00 13 00 30 60 12 1c 00 00 00 00 00"},
    {"the same counter again is a resend and gets no reply",
     "0a 00 00 00 00 13 00 20 2f 12 1c 00 00 00 00 00", ""},
    {"expedited upload of 4 bytes (vendor ID 0x1018:01)",
     "0a 00 00 00 00 23 00 20 40 18 10 01 00 00 00 00",
     "0a 00 00 00 00 23 00 30 43 18 10 01 bc 0a 00 00"},
    {"expedited upload of 1 byte (0x1018:00)", "0a 00 00 00 00 33 00 20 40 18 10 00 00 00 00 00",
     "0a 00 00 00 00 33 00 30 4f 18 10 00 04 00 00 00"},
    {"normal upload of the device name (0x1008)", "0a 00 00 00 00 43 00 20 40 08 10 00 00 00 00 00",
     "15 00 00 00 00 43 00 30 41 08 10 00 0b 00 00 00 45 6d 75 6c 61 74 65 64 20 49 4f"},
    {"an object that does not exist is aborted with 0x06020000",
     "0a 00 00 00 00 53 00 20 40 99 99 00 00 00 00 00",
     "0a 00 00 00 00 53 00 20 80 99 99 00 00 00 02 06"},
    {"a subindex that does not exist: 0x06090011",
     "0a 00 00 00 00 63 00 20 40 18 10 09 00 00 00 00",
     "0a 00 00 00 00 63 00 20 80 18 10 09 11 00 09 06"},
    {"the identity is read-only: 0x06010002", "0a 00 00 00 00 73 00 20 23 18 10 01 01 00 00 00",
     "0a 00 00 00 00 73 00 20 80 18 10 01 02 00 01 06"},
    {"complete access with a count that the data does not fill: 0x06070010",
     "0e 00 00 00 00 13 00 20 31 12 1c 00 04 00 00 00 02 00 00 16",
     "0a 00 00 00 00 13 00 20 80 12 1c 00 10 00 07 06"},
    {"complete-access download of the PDO assignment",
     "10 00 00 00 00 23 00 20 31 12 1c 00 06 00 00 00 02 00 00 16 01 16",
     "0a 00 00 00 00 23 00 30 60 12 1c 00 00 00 00 00"},
    {"complete-access upload gives it back, subindex 0 padded to 16 bits",
     "0a 00 00 00 00 33 00 20 50 12 1c 00 00 00 00 00",
     "10 00 00 00 00 33 00 30 51 12 1c 00 06 00 00 00 02 00 00 16 01 16"},
    {"the second entry alone", "0a 00 00 00 00 43 00 20 40 12 1c 02 00 00 00 00",
     "0a 00 00 00 00 43 00 30 4b 12 1c 02 01 16 00 00"},
    {"a segment without a download in progress: 0x05040001",
     "0a 00 00 00 00 53 00 20 00 00 00 00 00 00 00 00",
     "0a 00 00 00 00 53 00 20 80 00 00 00 01 00 04 05"},
    {"an unknown command specifier: 0x05040001", "0a 00 00 00 00 63 00 20 e0 12 1c 00 00 00 00 00",
     "0a 00 00 00 00 63 00 20 80 12 1c 00 01 00 04 05"},
    {"a mailbox type the slave does not speak (EoE) gets a mailbox error",
     "04 00 00 00 00 72 00 00 00 00", "04 00 00 00 00 70 01 00 02 00"},
    {"a CoE service other than an SDO request gets a mailbox error",
     "0a 00 00 00 00 13 00 80 00 00 00 00 00 00 00 00", "04 00 00 00 00 10 01 00 04 00"},
    {"a length past the SM0 window gets a mailbox error",
     "7b 00 00 00 00 23 00 20 40 18 10 01 00 00 00 00", "04 00 00 00 00 20 01 00 08 00"},
    {"an abort from the master gets no reply", "0a 00 00 00 00 33 00 20 80 12 1c 00 00 00 00 08",
     ""},
    {"complete-access upload of the sync managers' communication types (0x1C00)",
     "0a 00 00 00 00 43 00 20 50 00 1c 00 00 00 00 00",
     "10 00 00 00 00 33 00 30 51 00 1c 00 06 00 00 00 04 00 01 02 03 04"},
};

TEST(Mailbox, SdoExchanges) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 2);
    ASSERT_EQ(AlStatus(*segment, 0), 0x02);
    for (const Step& step : kSteps) {
        SCOPED_TRACE(step.what);
        const Bytes reply = MailboxExchange(*segment, 0, Hex(step.request));
        const Bytes expected = Hex(step.reply);
        if (expected.empty()) {
            EXPECT_TRUE(reply.empty()) << ToHex(reply);
            continue;
        }
        ASSERT_GE(reply.size(), expected.size());
        EXPECT_EQ(ToHex(Bytes(reply.begin(), reply.begin() + static_cast<long>(expected.size()))),
                  ToHex(expected));
    }
}

Bytes Prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(std::min(n, b.size())));
}

Bytes Concat(Bytes a, const Bytes& b, std::size_t from, std::size_t to) {
    a.insert(a.end(), b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
    return a;
}

// A slave that speaks CoE, SoE and EoE (protocols 0x16), whose
// configuration writes S-0-0015 (IDN 15) on drive 0 with 2 bytes.
eni::Slave DriveSlave() {
    eni::Slave s = MailboxSlave();
    s.mailbox->protocols = 0x16;
    eni::SoeInitCmd write;
    write.transitions.Add(eni::Transition::kPS);
    write.idn = 15;
    write.data = {0x07, 0x00};
    s.mailbox->soeInitCmds = {write};
    return s;
}

// In PREOP; SoE op codes 1 read, 2 read response, 3 write, 4 write response,
// 0x10 the error bit, error code last; EoE type 2 set IP, 3 its response, 6
// get IP, 7 its response, result in the second word.
const Step kDriveSteps[] = {
    {"SoE read of S-0-0015 gives the file's value", "04 00 00 00 00 15 01 40 0f 00",
     "06 00 00 00 00 15 02 40 0f 00 07 00"},
    {"SoE write of S-0-0015", "06 00 00 00 00 25 03 40 0f 00 03 00",
     "04 00 00 00 00 25 04 40 0f 00"},
    {"the read gives what was written", "04 00 00 00 00 35 01 40 0f 00",
     "06 00 00 00 00 35 02 40 0f 00 03 00"},
    {"an IDN the configuration does not name: error 0x1001", "06 00 00 00 00 45 03 40 10 00 03 00",
     "06 00 00 00 00 45 14 40 10 00 01 10"},
    {"a value of the wrong length: error 0x7003", "07 00 00 00 00 55 03 40 0f 00 01 02 03",
     "06 00 00 00 00 55 14 40 0f 00 03 70"},
    {"a fragmented write: no answer until the last fragment", "05 00 00 00 00 65 0b 40 01 00 09",
     ""},
    {"the last fragment carries the IDN (the slave's counter lags one)",
     "05 00 00 00 00 75 03 40 0f 00 00", "04 00 00 00 00 65 04 40 0f 00"},
    {"an SoE header cut short gets a mailbox error", "02 00 00 00 00 15 03 40",
     "04 00 00 00 00 70 01 00 06 00"},
    {"EoE set IP, packed: MAC and IP",
     "12 00 00 00 00 22 02 01 00 00 03 00 00 00 02 00 00 00 03 e9 0a 01 a8 c0",
     "04 00 00 00 00 12 03 01 00 00"},
    {"EoE get IP answers in the same layout", "04 00 00 00 00 32 06 01 00 00",
     "12 00 00 00 00 22 07 01 00 00 03 00 00 00 02 00 00 00 03 e9 0a 01 a8 c0"},
    {"EoE set IP, fixed (62 bytes): the subnet at its place",
     "3e 00 00 00 00 42 02 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ff ff ff 00 00 "
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 00 00 00 00 00 00 00",
     "04 00 00 00 00 32 03 01 00 00"},
    {"the fixed get-IP response holds every field", "04 00 00 00 00 52 06 01 00 00",
     "3e 00 00 00 00 42 07 01 00 00 07 00 00 00 02 00 00 00 03 e9 0a 01 a8 c0 00 ff ff ff"},
    {"a packed request shorter than its flags ask: result 1",
     "0a 00 00 00 00 62 02 01 00 00 02 00 00 00 0a 01", "04 00 00 00 00 52 03 01 01 00"},
    {"address filters are not supported: result 0x0401", "04 00 00 00 00 72 04 01 00 00",
     "04 00 00 00 00 62 05 01 01 04"},
};

TEST(Mailbox, SoeAndEoeExchanges) {
    FakeClock clock;
    auto segment = MakeSegment({DriveSlave()}, clock);
    BringUp(*segment, 0, 2);
    ASSERT_EQ(AlStatus(*segment, 0), 0x02);
    for (const Step& step : kDriveSteps) {
        SCOPED_TRACE(step.what);
        const Bytes reply = MailboxExchange(*segment, 0, Hex(step.request));
        const Bytes expected = Hex(step.reply);
        if (expected.empty()) {
            EXPECT_TRUE(reply.empty()) << ToHex(reply);
            continue;
        }
        ASSERT_GE(reply.size(), expected.size());
        EXPECT_EQ(ToHex(Bytes(reply.begin(), reply.begin() + static_cast<long>(expected.size()))),
                  ToHex(expected));
    }
    // The slave without SoE in its protocols refuses SoE as before.
    auto coeOnly = MakeSegment({MailboxSlave()}, clock);
    BringUp(*coeOnly, 0, 2);
    EXPECT_EQ(ToHex(Prefix(MailboxExchange(*coeOnly, 0, Hex("04 00 00 00 00 15 01 40 0f 00")), 10)),
              "04 00 00 00 00 10 01 00 02 00");
}

TEST(Mailbox, FullFlagRepeatAndEmptyReads) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 2);
    Bytes request = Hex("0a 00 00 00 00 13 00 20 40 18 10 02 00 00 00 00");
    request.resize(128, 0);
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x1080, Zeros(128)).wkc, 0);  // SM1 empty: refused
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x1000, Zeros(128)).wkc, 0);  // SM0 is not for reading
    EXPECT_EQ(Exchange(*segment, 2, 0, 0x1000, request).wkc, 1);
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x0805, Zeros(1)).data, Hex("00"));  // SM0 emptied
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x080D, Zeros(1)).data, Hex("08"));  // SM1 full
    EXPECT_EQ(Exchange(*segment, 2, 0, 0x1080, Zeros(4)).wkc, 0);  // SM1 is not for writing
    const Reply first = Exchange(*segment, 1, 0, 0x1080, Zeros(128));
    EXPECT_EQ(first.wkc, 1);
    EXPECT_EQ(ToHex(Bytes(first.data.begin(), first.data.begin() + 16)),
              "0a 00 00 00 00 13 00 30 43 18 10 02 34 12 00 00");
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x080D, Zeros(1)).data, Hex("00"));
    // The reply frame was lost: toggle the repeat request, the reply comes again.
    EXPECT_EQ(Exchange(*segment, 2, 0, 0x080E, Hex("03")).wkc, 1);
    EXPECT_EQ(Exchange(*segment, 1, 0, 0x080F, Zeros(1)).data, Hex("02"));
    const Reply again = Exchange(*segment, 1, 0, 0x1080, Zeros(128));
    EXPECT_EQ(again.wkc, 1);
    EXPECT_EQ(again.data, first.data);
}

TEST(Mailbox, SegmentedDownloadAndUpload) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    BringUp(*segment, 0, 2);
    Bytes value(150);
    for (std::size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<std::uint8_t>(i);
    // Initiate into 0x8000:02: 128 - 16 = 112 bytes fit; the size says 150.
    const Bytes initiate =
        Concat(Hex("7a 00 00 00 00 13 00 20 21 00 80 02 96 00 00 00"), value, 0, 112);
    EXPECT_EQ(ToHex(Prefix(MailboxExchange(*segment, 0, initiate), 16)),
              "0a 00 00 00 00 13 00 30 60 00 80 02 00 00 00 00");
    // The last 38 bytes in one segment: toggle 0, last.
    const Bytes last = Concat(Hex("29 00 00 00 00 23 00 20 01"), value, 112, 150);
    EXPECT_EQ(ToHex(Prefix(MailboxExchange(*segment, 0, last), 16)),
              "0a 00 00 00 00 23 00 30 20 00 00 00 00 00 00 00");

    // Upload: 112 bytes with the initiate response, the rest in a segment.
    const Bytes up =
        MailboxExchange(*segment, 0, Hex("0a 00 00 00 00 33 00 20 40 00 80 02 00 00 00 00"));
    EXPECT_EQ(ToHex(Prefix(up, 128)),
              ToHex(Concat(Hex("7a 00 00 00 00 33 00 30 41 00 80 02 96 00 00 00"), value, 0, 112)));
    const Bytes rest =
        MailboxExchange(*segment, 0, Hex("0a 00 00 00 00 43 00 20 60 00 00 00 00 00 00 00"));
    EXPECT_EQ(ToHex(Prefix(rest, 9 + 38)),
              ToHex(Concat(Hex("29 00 00 00 00 43 00 30 01"), value, 112, 150)));

    // A segment with the wrong toggle aborts the download with 0x05030000.
    MailboxExchange(*segment, 0,
                    Concat(Hex("7a 00 00 00 00 53 00 20 21 00 80 02 96 00 00 00"), value, 0, 112));
    EXPECT_EQ(
        ToHex(Prefix(MailboxExchange(*segment, 0,
                                     Concat(Hex("29 00 00 00 00 63 00 20 11"), value, 112, 150)),
                     16)),
        "0a 00 00 00 00 63 00 20 80 00 80 02 00 00 03 05");
}

TEST(Mailbox, BackThroughInitTheCounterStartsAgain) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock);
    const Bytes upload = Hex("0a 00 00 00 00 13 00 20 40 18 10 01 00 00 00 00");  // counter 1
    BringUp(*segment, 0, 2);
    EXPECT_FALSE(MailboxExchange(*segment, 0, upload).empty());
    EXPECT_TRUE(MailboxExchange(*segment, 0, upload).empty());  // a resend
    // A new master: INIT, mailbox SMs cleared and set again, PREOP, counter 1.
    RequestState(*segment, 0, 0x01);
    Exchange(*segment, 2, 0, 0x0800, Zeros(16));
    BringUp(*segment, 0, 2);
    EXPECT_FALSE(MailboxExchange(*segment, 0, upload).empty());
}

TEST(Mailbox, NoMailboxInInitAndNoneWithoutOne) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave(), PlainSlave(9)}, clock);
    // SMs configured but still INIT: the message is taken and not answered.
    Exchange(*segment, 2, 0, 0x0800, Hex(kMailboxSms));
    EXPECT_TRUE(MailboxExchange(*segment, 0, Hex("0a 00 00 00 00 13 00 20 40 18 10 01 00 00 00 00"))
                    .empty());
    // A slave without a mailbox: its EEPROM names none, and 0x1000 is plain RAM.
    Exchange(*segment, 2, 0xFFFF, 0x0502, Hex("00 01 18 00 00 00"));
    EXPECT_EQ(Exchange(*segment, 1, 0xFFFF, 0x0508, Zeros(4)).data, Zeros(4));
    Exchange(*segment, 2, 0xFFFF, 0x0502, Hex("00 01 1c 00 00 00"));
    EXPECT_EQ(Exchange(*segment, 1, 0xFFFF, 0x0508, Zeros(2)).data, Zeros(2));
}

}  // namespace
}  // namespace parvane::emulator::test
