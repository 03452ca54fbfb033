// The comparison's rules on hand-made records: what counts as different,
// what is passed over (passive terminals, an absent HotConnect group, a
// serial or a parent the ENI does not give), and the printed lines.
#include "scan/comparison.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using parvane::eni::NetworkConfig;
using parvane::eni::Slave;
using parvane::master::ScannedNetwork;
using parvane::master::ScannedSlave;

Slave EniSlave(const std::string& name, std::uint16_t phys, std::uint32_t product) {
    Slave s;
    s.name = name;
    s.physAddr = phys;
    s.identity = {2, product, 0x00100000};
    return s;
}

ScannedSlave Found(std::uint16_t position, const std::string& name, std::uint32_t product) {
    ScannedSlave s;
    s.position = position;
    s.stationAddress = static_cast<std::uint16_t>(0x1001 + position);
    s.name = name;
    s.identity = {2, product, 0x00100000};
    if (position > 0) {
        s.parent = static_cast<std::uint16_t>(position - 1);
        s.parentPort = 1;
    }
    return s;
}

// Three slaves in a line, ENI and wire alike.
struct Case {
    const char* what;
    std::function<void(NetworkConfig&, ScannedNetwork&)> change;
    std::string expected;
};

TEST(ScanComparison, ReportsEachPositionAsTheRulesSay) {
    const Case cases[] = {
        {"identical", [](NetworkConfig&, ScannedNetwork&) {},
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 same      station 0x1002 eni \"B\" found \"b\"\n"
         "   2 same      station 0x1003 eni \"C\" found \"c\"\n"
         "same: 3 positions, 3 same, 0 different, 0 missing, 0 extra\n"},
        {"a serial of 0 in the ENI is not compared, another one is",
         [](NetworkConfig& eni, ScannedNetwork& wire) {
             wire.slaves[0].serialNo = 77;
             wire.slaves[1].serialNo = 78;
             eni.slaves[1].serialNo = 79;
         },
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 different station 0x1002 eni \"B\" found \"b\"; serial eni 0x0000004F found "
         "0x0000004E\n"
         "   2 same      station 0x1003 eni \"C\" found \"c\"\n"
         "different: 3 positions, 2 same, 1 different, 0 missing, 0 extra\n"},
        {"passive terminal passed over, parent compared where given",
         [](NetworkConfig& eni, ScannedNetwork&) {
             Slave cap;
             cap.name = "end cap";
             cap.passive = true;
             eni.slaves.insert(eni.slaves.begin() + 1, cap);
             eni.slaves[3].previousPort = parvane::eni::PreviousPort{0x1001, 'D'};
             eni.slaves[2].previousPort = parvane::eni::PreviousPort{0x1001, 'B'};
         },
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 same      station 0x1002 eni \"B\" found \"b\"\n"
         "   2 different station 0x1003 eni \"C\" found \"c\"; parent eni 0/D found 1/B\n"
         "different: 3 positions, 2 same, 1 different, 0 missing, 0 extra\n"},
        {"the line ends early on the port the ENI names",
         [](NetworkConfig& eni, ScannedNetwork& wire) {
             eni.slaves[2].previousPort = parvane::eni::PreviousPort{0x1002, 'B'};
             wire.slaves.pop_back();
         },
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 same      station 0x1002 eni \"B\" found \"b\"\n"
         "   2 missing   station 0x1003 eni \"C\" found -; nothing on port B of position 1\n"
         "different: 3 positions, 2 same, 0 different, 1 missing, 0 extra\n"},
        {"absent HotConnect group, missing tail",
         [](NetworkConfig& eni, ScannedNetwork& wire) {
             eni.slaves[1].hotConnectGroupSize = 1;
             eni.slaves[1].identity.productCode = 0x99;
             wire.slaves.pop_back();
         },
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 different station 0x1002 eni \"C\" found \"b\"; product eni 0x00000030 found "
         "0x00000020\n"
         "different: 2 positions, 1 same, 1 different, 0 missing, 0 extra\n"},
        {"extra slave and process data",
         [](NetworkConfig&, ScannedNetwork& wire) {
             wire.slaves[1].txPdos.push_back(
                 {0x1A00, "in", 3, false, false, {{0x6000, 1, 16, 0, "x"}}});
             wire.slaves.push_back(Found(3, "d", 0x40));
         },
         "   0 same      station 0x1001 eni \"A\" found \"a\"\n"
         "   1 different station 0x1002 eni \"B\" found \"b\"; inputs eni 0 found 16\n"
         "   2 same      station 0x1003 eni \"C\" found \"c\"\n"
         "   3 extra     station 0x1004 eni - found \"d\"; vendor 0x00000002 product 0x00000040 "
         "revision 0x00100000 on port B of position 2\n"
         "different: 4 positions, 2 same, 1 different, 0 missing, 1 extra\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NetworkConfig eni;
        eni.slaves = {EniSlave("A", 0x1001, 0x10), EniSlave("B", 0x1002, 0x20),
                      EniSlave("C", 0x1003, 0x30)};
        ScannedNetwork wire;
        wire.slaves = {Found(0, "a", 0x10), Found(1, "b", 0x20), Found(2, "c", 0x30)};
        c.change(eni, wire);
        EXPECT_EQ(parvane::scan::ComparisonText(parvane::scan::CompareNetwork(eni, wire)),
                  c.expected);
    }
}

}  // namespace
