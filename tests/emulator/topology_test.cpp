// The tree that PreviousPort elements describe: the order in which a frame
// passes the slaves (an ESC forwards from port A to D, B, then C) and the
// DL status (0x0110) of each, with the link bits 4-7 and per port a
// communication bit or a closed loop; checked on hand-made trees and on a
// real export with a junction.
#include "emulator/topology.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "emulator/network.h"
#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

struct Place {
    std::uint16_t physAddr;
    std::optional<eni::PreviousPort> previous;
};

std::vector<eni::Slave> Slaves(const std::vector<Place>& places) {
    std::vector<eni::Slave> slaves;
    for (const Place& place : places) {
        eni::Slave& slave = slaves.emplace_back();
        slave.physAddr = place.physAddr;
        slave.previousPort = place.previous;
    }
    return slaves;
}

TEST(Topology, WireOrderAndLinkedPortsFromPreviousPorts) {
    struct Case {
        const char* name;
        std::vector<Place> places;
        std::optional<std::vector<std::size_t>> order;  // nothing: stays a line
        std::vector<std::uint8_t> linked;
    };
    const Case cases[] = {
        {"no previous port: a line", {{1001, {}}, {1002, {}}}, {}, {}},
        {"a line spelled out",
         {{1001, {}}, {1002, {{1001, 'B'}}}, {1003, {{1002, 'B'}}}},
         {{0, 1, 2}},
         {0b0011, 0b0011, 0b0001}},
        {"port D is passed before port B",
         {{1001, {}}, {1002, {{1001, 'B'}}}, {1003, {{1001, 'D'}}}},
         {{0, 2, 1}},
         {0b1011, 0b0001, 0b0001}},
        {"port C last, after B's whole branch",
         {{1001, {}}, {1002, {{1001, 'C'}}}, {1003, {{1001, 'B'}}}, {1004, {{1003, 'B'}}}},
         {{0, 2, 3, 1}},
         {0b0111, 0b0001, 0b0011, 0b0001}},
        {"without a previous port: on B of the slave before",
         {{1001, {}}, {1002, {{1001, 'D'}}}, {1003, {}}},
         {{0, 1, 2}},
         {0b1001, 0b0011, 0b0001}},
        {"an unknown station address", {{1001, {}}, {1002, {{1009, 'B'}}}}, {}, {}},
        {"a station listed later",
         {{1001, {}}, {1002, {{1003, 'B'}}}, {1003, {{1001, 'B'}}}},
         {},
         {}},
        {"two slaves on one port",
         {{1001, {}}, {1002, {{1001, 'B'}}}, {1003, {{1001, 'B'}}}},
         {},
         {}},
        {"on port A", {{1001, {}}, {1002, {{1001, 'A'}}}}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tree = TreeOf(Slaves(c.places));
        ASSERT_EQ(tree.has_value(), c.order.has_value());
        if (!tree)
            continue;
        EXPECT_EQ(tree->wireOrder, *c.order);
        EXPECT_EQ(tree->linkedPorts, c.linked);
    }
}

// The DL status of a slave whose ports `linked` have a link, as the ESC
// register table gives it: bits 0-1 PDI operational and watchdog, bits 4-7
// link on ports 0-3, then per port a closed loop (bit 8 + 2p) or
// communication (bit 9 + 2p).
TEST(Topology, DlStatusOfAJunctionExport) {
    const std::filesystem::path file =
        std::filesystem::path(ENI_SAMPLES_DIR).parent_path() / "eni-corpus/rcprg_velma_body.xml";
    if (!std::filesystem::exists(file))
        GTEST_SKIP() << "no shared corpus file " << file;
    auto config = LoadEniConfig(file);
    ASSERT_TRUE(config.has_value()) << config.error().message;
    FakeClock clock;
    auto segment = BuildSegment(*config, Description{}, clock.source());
    // 1001 feeds 1002 on B and 1007 on C; the junction 1002 feeds D, B and C;
    // 1006 ends its branch (the end terminal after it has no ESC).
    const std::uint16_t expected[] = {0x6A73, 0xAAF3, 0x5613, 0x5613, 0x5A33,
                                      0x5613, 0x5A33, 0x5A33, 0x5613};
    ASSERT_EQ(segment->size(), std::size(expected));
    EXPECT_EQ(Exchange(*segment, 7, 0, 0x0130, Hex("00 00")).wkc, std::size(expected));
    for (std::size_t p = 0; p < std::size(expected); ++p) {
        SCOPED_TRACE(p);
        const Reply r =
            Exchange(*segment, 1, static_cast<std::uint16_t>(0x10000 - p), 0x0110, Hex("00 00"));
        EXPECT_EQ(r.wkc, 1);
        ASSERT_EQ(r.data.size(), 2u);
        EXPECT_EQ(r.data[0] | r.data[1] << 8, expected[p]);
    }
}

}  // namespace
}  // namespace parvane::emulator::test
