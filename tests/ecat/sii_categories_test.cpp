// The SII category decoders against bytes written out by hand from the
// category layouts (the offsets an independent master reads them at): what
// each gives for whole categories, and what it leaves out of cut ones.
#include "ecat/sii_categories.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace parvane::ecat::sii {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SiiCategories, StringsStopWhereTheBytesDo) {
    const struct {
        const char* name;
        Bytes data;
        std::vector<std::string> want;
    } cases[] = {
        {"two strings", {2, 3, 'a', 'b', 'c', 2, 'x', 'y'}, {"abc", "xy"}},
        {"the count promises more than the bytes hold", {3, 1, 'a', 1, 'b'}, {"a", "b"}},
        {"a length past the end", {2, 1, 'a', 9, 'b', 'c'}, {"a"}},
        {"an empty string keeps its index", {2, 0, 1, 'z'}, {"", "z"}},
        {"nothing at all", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeStrings(c.data), c.want);
    }
    const std::vector<std::string> strings{"first", "second"};
    EXPECT_EQ(StringAt(strings, 0), "");
    EXPECT_EQ(StringAt(strings, 2), "second");
    EXPECT_EQ(StringAt(strings, 3), "");
}

TEST(SiiCategories, GeneralFieldsAtTheirOffsets) {
    Bytes data(32, 0);
    data[0] = 4;      // group
    data[2] = 3;      // order
    data[3] = 1;      // name
    data[5] = 0x2D;   // CoE: SDO, PDO assign, PDO config, complete access
    data[6] = 1;      // FoE
    data[7] = 1;      // EoE
    data[8] = 2;      // SoE channels
    data[12] = 0x9C;  // E-bus current -100 mA (the slave feeds it)
    data[13] = 0xFF;
    data[16] = 0x11;  // ports 0 and 1: MII
    const auto g = DecodeGeneral(data);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->groupIndex, 4);
    EXPECT_EQ(g->orderIndex, 3);
    EXPECT_EQ(g->nameIndex, 1);
    EXPECT_EQ(g->coeDetails, kCoeSdo | kCoePdoAssign | kCoePdoConfig | kCoeCompleteAccess);
    EXPECT_EQ(g->foeDetails, 1);
    EXPECT_EQ(g->eoeDetails, 1);
    EXPECT_EQ(g->soeChannels, 2);
    EXPECT_EQ(g->currentOnEbus, -100);
    EXPECT_EQ(g->physicalPorts, 0x11);
    EXPECT_FALSE(DecodeGeneral(Bytes(15, 0)));
}

TEST(SiiCategories, SyncManagersAndDcModesAreWholeRecords) {
    const Bytes sms{0x00, 0x10, 0x80, 0x00, 0x26, 0x00, 0x01, 0x01,  // SM0 mailbox out
                    0x80, 0x10, 0x80, 0x00, 0x22, 0x00, 0x01, 0x02,  // SM1 mailbox in
                    0x00, 0x11, 0x06};                               // a cut entry
    const auto got = DecodeSyncManagers(sms);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].startAddress, 0x1080);
    EXPECT_EQ(got[1].length, 0x80);
    EXPECT_EQ(got[1].controlByte, 0x22);
    EXPECT_EQ(got[1].enable, 1);
    EXPECT_EQ(got[1].type, kSmTypeMailboxIn);

    Bytes dc(kDcModeSize * 2 - 1, 0);
    dc[0] = 0x40;  // cycle 1 ms: 0x000F4240
    dc[1] = 0x42;
    dc[2] = 0x0F;
    dc[14] = 0x00;  // AssignActivate 0x0300
    dc[15] = 0x03;
    dc[18] = 2;  // name
    const auto modes = DecodeDcModes(dc);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(modes[0].cycleTime0, 1000000u);
    EXPECT_EQ(modes[0].assignActivate, 0x0300);
    EXPECT_EQ(modes[0].nameIndex, 2);
}

TEST(SiiCategories, PdosEndBeforeOneWhoseEntriesRunPast) {
    const Bytes data{
        // 0x1A00, 2 entries, SM3, no DC sync, name 5, fixed
        0x00, 0x1A, 0x02, 0x03, 0x00, 0x05, 0x10, 0x00, 0x41, 0x60, 0x00, 0x06, 0x06, 0x10, 0x00,
        0x00,                                            // 0x6041:00 name 6 UINT 16 bits
        0x64, 0x60, 0x00, 0x07, 0x04, 0x20, 0x00, 0x00,  // 0x6064:00 name 7 DINT 32 bits
        // 0x1A01, no SM, 3 entries but room for one
        0x01, 0x1A, 0x03, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
        0x00};
    const auto pdos = DecodePdos(data);
    ASSERT_EQ(pdos.size(), 1u);
    EXPECT_EQ(pdos[0].index, 0x1A00);
    EXPECT_EQ(pdos[0].sm, 3);
    EXPECT_EQ(pdos[0].nameIndex, 5);
    EXPECT_EQ(pdos[0].flags, kPdoFixed);
    ASSERT_EQ(pdos[0].entries.size(), 2u);
    EXPECT_EQ(pdos[0].entries[1].index, 0x6064);
    EXPECT_EQ(pdos[0].entries[1].nameIndex, 7);
    EXPECT_EQ(pdos[0].entries[1].dataType, 0x04);
    EXPECT_EQ(pdos[0].entries[1].bitLength, 32);
    EXPECT_TRUE(DecodePdos(Bytes(7, 0)).empty());
}

}  // namespace
}  // namespace parvane::ecat::sii
