// Datagrams across a line of three slaves, in order: each step's command,
// address and data in, and the data, working counter and ADP that come back,
// as the command table of the wire format prescribes.
#include <gtest/gtest.h>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

// Slave 2 has the alias 0x0042 in its EEPROM.
const Step kSteps[] = {
    {"BRD counts the slaves", 7, 0x0000, 0x0130, "00 00", "01 00", 3, 0x0003},
    {"BRD ORs every slave's ESC type", 7, 0x0000, 0x0000, "00", "11", 3, 0x0003},
    {"APRD at 0 reads the first slave", 1, 0x0000, 0x0004, "00 00 00 00", "08 08 08 0f", 1, 0x0003},
    {"APRD at -2 reads the last slave's DL status", 1, 0xFFFE, 0x0110, "00 00", "13 56", 1, 0x0001},
    {"APRD at -1 reads a middle slave's DL status", 1, 0xFFFF, 0x0110, "00 00", "33 5a", 1, 0x0002},
    {"APRD past the line reaches nobody", 1, 0xFFFD, 0x0110, "00 00", "00 00", 0, 0x0000},
    {"APWR sets slave 1's station address", 2, 0xFFFF, 0x0010, "e9 03", "e9 03", 1, 0x0002},
    {"FPRD reads it back", 4, 0x03E9, 0x0010, "00 00", "e9 03", 1, 0x03E9},
    {"FPRD of an address nobody has", 4, 0x03EA, 0x0010, "00 00", "00 00", 0, 0x03EA},
    {"APRW returns the old value and writes", 3, 0x0000, 0x0010, "ea 03", "00 00", 3, 0x0003},
    {"FPRW at the new address", 6, 0x03EA, 0x0010, "eb 03", "ea 03", 3, 0x03EA},
    {"FPWR to the station address", 5, 0x03EB, 0x0010, "ec 03", "ec 03", 1, 0x03EB},
    {"FPRD answers at the address just written", 4, 0x03EC, 0x0010, "00 00", "ec 03", 1, 0x03EC},
    {"APWR to the ESC type is taken but changes nothing", 2, 0x0000, 0x0000, "ff", "ff", 1, 0x0003},
    {"APRD shows the type unchanged", 1, 0x0000, 0x0000, "00", "11", 1, 0x0003},
    {"APWR to AL status changes nothing", 2, 0x0000, 0x0130, "08 00", "08 00", 1, 0x0003},
    {"FPRD of AL status and code in one read", 4, 0x03EC, 0x0130, "00 00 00 00 00 00",
     "01 00 00 00 00 00", 1, 0x03EC},
    {"BWR clears every station address", 8, 0x0000, 0x0010, "00 00", "00 00", 3, 0x0003},
    {"FPRD at 0 now reaches all three", 4, 0x0000, 0x0010, "00 00", "00 00", 3, 0x0000},
    {"BRW ORs the old contents in and writes what it received", 9, 0x0000, 0x0010, "05 00", "05 00",
     9, 0x0003},
    {"FPRD at 5 reaches all three", 4, 0x0005, 0x0010, "00 00", "05 00", 3, 0x0005},
    {"the alias answers only with alias addressing on", 4, 0x0042, 0x0012, "00 00", "00 00", 0,
     0x0042},
    {"APWR turns alias addressing on in slave 2", 2, 0xFFFE, 0x0103, "01", "01", 1, 0x0001},
    {"FPRD by alias", 4, 0x0042, 0x0012, "00 00", "42 00", 1, 0x0042},
    {"APWR into process RAM", 2, 0xFFFF, 0x1200, "de ad be ef", "de ad be ef", 1, 0x0002},
    {"APRD from process RAM", 1, 0xFFFF, 0x1200, "00 00 00 00", "de ad be ef", 1, 0x0002},
    {"untouched RAM reads as zeros", 1, 0x0000, 0x1200, "ff ff", "00 00", 1, 0x0003},
    {"watchdog divider default", 1, 0x0000, 0x0400, "00 00", "c2 09", 1, 0x0003},
    {"SM watchdog default", 1, 0x0000, 0x0420, "00 00", "e8 03", 1, 0x0003},
    {"ARMW: the first slave's system time, the others write", 13, 0x0000, 0x0910,
     "00 00 00 00 00 00 00 00", "40 42 0f 00 00 00 00 00", 3, 0x0003},
    {"FRMW: the first addressed slave reads, all others write", 14, 0x0005, 0x0910,
     "00 00 00 00 00 00 00 00", "40 42 0f 00 00 00 00 00", 3, 0x0005},
    {"NOP passes untouched", 0, 0x1234, 0x0000, "aa", "aa", 0, 0x1234},
    {"a command number past FRMW passes untouched", 0x20, 0x1234, 0x0000, "aa", "aa", 0, 0x1234},
};

TEST(Datagrams, ThreeSlaveLine) {
    FakeClock clock;
    auto segment = MakeSegment(
        {PlainSlave(1), PlainSlave(2), PlainSlave(3)}, clock,
        R"({"slaves": [{"dc_start_ns": 0, "dc_drift_ppm": 0}, {}, {"alias": "0x0042"}]})");
    clock.AdvanceMs(1);  // the first slave's system time reads 1 ms
    RunSteps(*segment, clock, kSteps);
}

TEST(Datagrams, FrameOfSeveralDatagramsComesBackMarkedAndUnchangedInLength) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1), PlainSlave(2), PlainSlave(3)}, clock);
    Bytes datagrams = Datagram(7, 0x01, 0, 0x0130, Hex("00 00"), true, 0);
    const Bytes second = Datagram(1, 0x02, 0xFFFF, 0x0000, Hex("00"), false, 5);
    datagrams.insert(datagrams.end(), second.begin(), second.end());
    Bytes frame = Frame(datagrams);
    frame.resize(60, 0xEE);  // padding past the EtherCAT length is left alone
    ASSERT_EQ(segment->Process(frame), FrameOutcome::kAnswered);

    Bytes expected = Hex("ff ff ff ff ff ff 02 11 22 33 44 55 88 a4");
    expected.push_back(static_cast<std::uint8_t>(datagrams.size()));
    expected.push_back(0x10);
    const Bytes first = Datagram(7, 0x01, 3, 0x0130, Hex("01 00"), true, 3);
    const Bytes answered = Datagram(1, 0x02, 2, 0x0000, Hex("11"), false, 6);
    expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), answered.begin(), answered.end());
    expected.resize(60, 0xEE);
    EXPECT_EQ(ToHex(frame), ToHex(expected));
}

TEST(Datagrams, FramesThatAreNotEtherCatOrDoNotHoldTogetherAreIgnored) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1)}, clock);
    const Bytes cases[] = {
        Hex("ff ff ff ff ff ff 00 11 22 33 44 55 08 00 45 00"),  // IPv4
        Hex("ff ff ff ff ff ff 00 11 22 33 44 55 88 a4"),        // no EtherCAT header
        // The header claims 14 bytes, 12 arrived.
        Hex("ff ff ff ff ff ff 00 11 22 33 44 55 88 a4 0e 10 07 00 00 00 30 01 02 00 00 00 00 00"),
        // A datagram whose length runs past the EtherCAT length.
        Hex("ff ff ff ff ff ff 00 11 22 33 44 55 88 a4 0c 10 07 00 00 00 30 01 02 00 00 00 00 00"),
    };
    for (const Bytes& c : cases) {
        Bytes frame = c;
        EXPECT_EQ(segment->Process(frame), FrameOutcome::kIgnored) << ToHex(c);
        EXPECT_EQ(frame, c);
    }
}

}  // namespace
}  // namespace parvane::emulator::test
