// The network scan against KickCAT's emulated slaves on a veth pair: slaves
// whose SII images and object dictionaries nobody on this project wrote. The
// scan finds the line as the ENI written from the peer's own files defines
// it, and the ENI the scan writes takes the unchanged tool through every
// step on the same line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eni/eni_reader.h"
#include "master/exchange.h"
#include "master/network_scan.h"
#include "master/raw_socket_link.h"
#include "scan/eni_writer.h"
#include "tests/interop/peers.h"
#include "tests/wire/tool_wire.h"
#include "tests/wire/wire_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace parvane;
using testsupport::TempNode;
using namespace wiretest;
using namespace interop;

// Scans the line once, through a socket of the test's own.
std::expected<master::ScannedNetwork, master::Error> Scan() {
    auto link = master::RawSocketLink::Open(MasterInterface());
    if (!link)
        return std::unexpected(link.error());
    master::Exchange exchange(**link, master::ExchangeOptions{});
    return master::ScanNetwork(exchange);
}

TEST(ScanOnKickcat, FindsTheLineAndWritesAnEniTheToolRunsItWith) {
    REQUIRE_PEER(NetworkSimulator());
    std::string error;
    const std::vector<WireSlave> want = WireSlaves(KICKCAT_LINE_ENI, error);
    ASSERT_TRUE(error.empty()) << error;
    KickcatLine simulator;
    ASSERT_TRUE(simulator.Serves()) << simulator.Output();

    auto scanned = Scan();
    ASSERT_TRUE(scanned) << master::ErrorText(scanned.error());
    ASSERT_EQ(scanned->slaves.size(), want.size());
    for (std::size_t p = 0; p < want.size(); ++p) {
        SCOPED_TRACE("slave " + std::to_string(p));
        const master::ScannedSlave& got = scanned->slaves[p];
        EXPECT_EQ(got.identity.vendorId, want[p].vendor);
        EXPECT_EQ(got.identity.productCode, want[p].product);
        if (want[p].revision) {
            EXPECT_EQ(got.identity.revisionNo, *want[p].revision);
        }
        EXPECT_EQ(got.outputBits(), want[p].outputBits) << got.pdoNote.value_or("");
        // The first board's description lists 14 input entries, its mapping
        // object (0x1A00:00 = 13) maps 13; its SII has no PDOs, so the scan
        // reads the mapping the slave holds.
        const long inputBits = p == 0 && want[p].inputBits == 224 ? 208 : want[p].inputBits;
        EXPECT_EQ(got.inputBits(), inputBits) << got.pdoNote.value_or("");
    }

    TempNode files;
    const fs::path eni = files.dir() / "scanned.eni.xml";
    testsupport::WriteFile(eni, scan::WriteEni(*scanned));
    const ToolOutcome outcome = ToolRunRetried(eni.string());
    simulator.Stop();
    EXPECT_EQ(outcome.run.exitCode, 0) << outcome.run.out << outcome.driverLog;
    EXPECT_NE(outcome.run.out.find(kSuccessVerdict), std::string::npos) << outcome.run.out;
}

// A junction: the first board's port D leads to the second, its port B to
// the drive; the frame visits them in that order. The scan finds which port
// of which slave each hangs on from the ports' links and receive times as
// KickCAT's ESCs show them.
TEST(ScanOnKickcat, FindsTheTree) {
    REQUIRE_PEER(NetworkSimulator());
    TempNode files;
    const fs::path topology = files.dir() / "junction.json";
    testsupport::WriteFile(topology, R"({"injection": {"node": 0, "port": 0},
        "links": [{"a": 0, "port_a": 3, "b": 1, "port_b": 0},
                  {"a": 0, "port_a": 1, "b": 2, "port_b": 0}]})");
    KickcatLine simulator({"--topology", topology.string()});
    ASSERT_TRUE(simulator.Serves()) << simulator.Output();
    auto scanned = Scan();
    simulator.Stop();
    ASSERT_TRUE(scanned) << master::ErrorText(scanned.error());
    ASSERT_EQ(scanned->slaves.size(), 3u);
    const auto& s = scanned->slaves;
    EXPECT_FALSE(s[0].parent);
    EXPECT_EQ(s[0].openPorts, 0b1011);  // A, B and D
    ASSERT_TRUE(s[1].parent && s[2].parent);
    EXPECT_EQ(*s[1].parent, 0);
    EXPECT_EQ(s[1].parentPort, 3);  // D
    EXPECT_EQ(*s[2].parent, 0);
    EXPECT_EQ(s[2].parentPort, 1);  // B
    // The written file says the same.
    auto written = eni::ReadEniText(scan::WriteEni(*scanned));
    ASSERT_TRUE(written);
    ASSERT_TRUE(written->config.slaves[2].previousPort);
    EXPECT_EQ(written->config.slaves[2].previousPort->port, 'B');
    EXPECT_EQ(written->config.slaves[2].previousPort->physAddr, 1001);
}

}  // namespace
