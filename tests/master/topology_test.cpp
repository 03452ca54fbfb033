#include "master/topology.h"

#include <gtest/gtest.h>

namespace parvane::master {
namespace {

// DL status words with the given ports open and the others' loops closed.
std::uint16_t Dl(std::initializer_list<unsigned> open) {
    std::uint16_t status = 0;
    for (unsigned p = 0; p < kPortCount; ++p) {
        const bool isOpen = std::find(open.begin(), open.end(), p) != open.end();
        status = static_cast<std::uint16_t>(status | (isOpen ? 0x0200u << (2 * p)  // communication
                                                             : 0x0100u << (2 * p)));  // loop closed
    }
    return status;
}

TEST(Topology, ParentsAndPortsFromDlStatus) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> dl;
        std::vector<PortTimes> times;
        // Per slave after the first: parent position and parent port.
        std::vector<std::pair<std::size_t, unsigned>> parents;
        std::vector<unsigned> entries;
    };
    const Case cases[] = {
        {"a line of three", {Dl({0, 1}), Dl({0, 1}), Dl({0})}, {}, {{0, 1}, {1, 1}}, {0, 0, 0}},
        {"a junction: the branch on port D comes first, port B after it",
         {Dl({0, 1, 3}), Dl({0, 1}), Dl({0}), Dl({0})},
         {},
         {{0, 3}, {1, 1}, {0, 1}},
         {0, 0, 0, 0}},
        {"a cross: D, B and C branches of one slave each",
         {Dl({0, 1, 2, 3}), Dl({0}), Dl({0}), Dl({0})},
         {},
         {{0, 3}, {0, 1}, {0, 2}},
         {0, 0, 0, 0}},
        {"a branch that ends early, then the coupler goes on",
         {Dl({0, 1}), Dl({0, 1, 3}), Dl({0, 1}), Dl({0}), Dl({0, 1}), Dl({0})},
         {},
         {{0, 1}, {1, 3}, {2, 1}, {1, 1}, {4, 1}},
         {0, 0, 0, 0, 0, 0}},
        {"a slave wired in on port B: the earliest receive time names its entry",
         {Dl({0, 1}), Dl({0, 1}), Dl({0})},
         {PortTimes{100, 900, 0, 0}, PortTimes{700, 400, 0, 0}, PortTimes{500, 0, 0, 0}},
         {{0, 1}, {1, 0}},
         {0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto nodes = FindTopology(c.dl, c.times);
        ASSERT_EQ(nodes.size(), c.dl.size());
        EXPECT_FALSE(nodes[0].parent.has_value());
        for (std::size_t i = 1; i < nodes.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(nodes[i].parent.has_value());
            EXPECT_EQ(*nodes[i].parent, c.parents[i - 1].first);
            EXPECT_EQ(nodes[i].parentPort, c.parents[i - 1].second);
        }
        for (std::size_t i = 0; i < nodes.size(); ++i)
            EXPECT_EQ(nodes[i].entryPort, c.entries[i]) << i;
    }
}

TEST(Topology, PortBitsAndOrder) {
    EXPECT_EQ(OpenPorts(0x5A00), 0x03);  // ports 0 and 1 open, 2 and 3 looped
    EXPECT_EQ(OpenPorts(0x0000), 0x00);  // no communication anywhere
    EXPECT_EQ(OpenPorts(0xAA00), 0x0F);
    EXPECT_EQ(NextPort(0), 3u);
    EXPECT_EQ(NextPort(3), 1u);
    EXPECT_EQ(NextPort(2), 0u);
}

}  // namespace
}  // namespace parvane::master
