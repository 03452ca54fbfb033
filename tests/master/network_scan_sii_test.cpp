// How the scan reads a slave from the category area of its SII, against
// category bytes written out by hand: names through the strings, the CoE
// details, sync managers and FMMUs, the PDOs the SII assigns by default, DC
// from the DC category; an area cut short keeps what came before the cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "master/network_scan_steps.h"

namespace parvane::master {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A category: type, length in words, data (padded to whole words).
Bytes Category(std::uint16_t type, Bytes data) {
    if (data.size() % 2 != 0)
        data.push_back(0);
    const auto words = static_cast<std::uint16_t>(data.size() / 2);
    Bytes out;
    out.reserve(4 + data.size());
    for (const std::uint16_t word : {type, words}) {
        out.push_back(static_cast<std::uint8_t>(word));
        out.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    for (const std::uint8_t b : data)
        out.push_back(b);
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        for (const std::uint8_t b : p)
            out.push_back(b);
    return out;
}

const Bytes kStrings =
    Category(10, {3, 5, 'G', 'r', 'o', 'u', 'p', 4, 'I', 'O', '-', '8', 3, 'D', 'e', 'v'});
Bytes General() {
    Bytes g(32, 0);
    g[0] = 1, g[2] = 2, g[3] = 3, g[5] = 0x0D;
    return Category(30, g);
}
const Bytes kSyncM = Category(41, {0x00, 0x11, 0x02, 0x00, 0x64, 0x00, 0x01, 0x03,    // SM0 outputs
                                   0x00, 0x12, 0x01, 0x00, 0x20, 0x00, 0x01, 0x04});  // SM1 inputs
const Bytes kFmmu = Category(40, {1, 2});
// RxPDO 0x1600 on SM0 (one 16-bit entry, name 3); 0x1601 assigned to none.
const Bytes kRxPdo = Category(51, {0x00, 0x16, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x70, 0x01,
                                   0x03, 0x06, 0x10, 0x00, 0x00, 0x01, 0x16, 0x01, 0xFF, 0x00, 0x00,
                                   0x00, 0x00, 0x01, 0x70, 0x01, 0x00, 0x06, 0x10, 0x00, 0x00});
Bytes Dc() {
    Bytes d(24, 0);
    d[0] = 0x40, d[1] = 0x42, d[2] = 0x0F;  // 1 ms
    d[15] = 0x03;                           // AssignActivate 0x0300
    return Category(60, d);
}
const Bytes kEnd{0xFF, 0xFF};

TEST(NetworkScanSii, ASlaveIsReadFromItsCategories) {
    const struct {
        const char* name;
        Bytes area;
        std::string deviceName, order, group;
        std::size_t sms, rxPdos;
        bool dc;
    } cases[] = {
        {"every category", Join({kStrings, General(), kFmmu, kSyncM, kRxPdo, Dc(), kEnd}), "Dev",
         "IO-8", "Group", 2, 1, true},
        {"no general category: no names", Join({kStrings, kSyncM, kRxPdo, kEnd}), "", "", "", 2, 1,
         false},
        {"cut inside the PDO category",
         Join({kStrings, General(), kSyncM, Bytes(kRxPdo.begin(), kRxPdo.begin() + 12)}), "Dev",
         "IO-8", "Group", 2, 0, false},
        {"a length past the end stops the walk",
         Join({kStrings, General(), Bytes{41, 0, 0xFF, 0x7F}}), "Dev", "IO-8", "Group", 0, 0,
         false},
        {"blank", Bytes(64, 0xFF), "", "", "", 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScannedSlave slave;
        std::vector<ecat::sii::PdoRecord> tx, rx;
        std::vector<std::string> strings;
        DecodeCategories(slave, c.area, tx, rx, strings);
        EXPECT_EQ(slave.name, c.deviceName);
        EXPECT_EQ(slave.order, c.order);
        EXPECT_EQ(slave.group, c.group);
        EXPECT_EQ(slave.sms.size(), c.sms);
        EXPECT_EQ(slave.dcNeeded, c.dc);
        const std::vector<ScannedPdo> assigned = SiiAssigned(rx, strings);
        ASSERT_EQ(assigned.size(), c.rxPdos);
        if (c.rxPdos > 0) {
            EXPECT_EQ(assigned[0].index, 0x1600);
            EXPECT_EQ(assigned[0].sm, 0);
            EXPECT_EQ(assigned[0].bitLength(), 16u);
            EXPECT_EQ(assigned[0].entries[0].dataType, 6);
        }
    }
    // The whole area: the rest of what it says.
    ScannedSlave slave;
    std::vector<ecat::sii::PdoRecord> tx, rx;
    std::vector<std::string> strings;
    DecodeCategories(slave, Join({kStrings, General(), kFmmu, kSyncM, kRxPdo, Dc(), kEnd}), tx, rx,
                     strings);
    EXPECT_EQ(slave.coeDetails, 0x0D);
    EXPECT_EQ(slave.fmmuUsage, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(slave.sms[1].startAddress, 0x1200);
    EXPECT_EQ(slave.sms[1].type, 4);
    EXPECT_EQ(slave.assignActivate, 0x0300);
    EXPECT_EQ(slave.cycleTime0, 1000000u);
    EXPECT_EQ(rx.size(), 2u);
    EXPECT_EQ(SiiAssigned(rx, strings)[0].entries[0].name, "Dev");
}

}  // namespace
}  // namespace parvane::master
