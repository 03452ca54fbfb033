// The master in this process over the veth pair against KickCAT's emulated
// slaves, whose ESCs keep clocks, with the line's ENI given a DC element on
// every slave and no DC command (as a hand-written file has it). The line
// goes to OP; tshark reads from the recording each slave's delay and offset
// and the start time of SYNC0 (on the cycle's grid, in the future); the
// cycle locks onto the reference clock. The figures are printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/exchange.h"
#include "master/pcap_link.h"
#include "master/raw_socket_link.h"
#include "master/state_machine.h"
#include "tests/interop/peers.h"
#include "tests/support/kept_log.h"
#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace parvane;
using testsupport::RunResult;

struct DcWrite {
    unsigned adp = 0;
    std::uint64_t value = 0;
    double time = 0;  // seconds since 1970 of the frame
};

// Every write (FPWR) to `ado` the recording holds, with the value tshark's
// register field `field` decodes (in the order of the frame's datagrams).
std::vector<DcWrite> WritesTo(const fs::path& pcap, unsigned ado, const std::string& field) {
    char filter[64];
    std::snprintf(filter, sizeof filter, "ecat.ado == 0x%04x && ecat.cmd == 5", ado);
    const RunResult run = testsupport::Run({"/usr/bin/tshark",
                                            "-n",
                                            "-r",
                                            pcap.string(),
                                            "-Y",
                                            filter,
                                            "-T",
                                            "fields",
                                            "-E",
                                            "aggregator=;",
                                            "-e",
                                            "frame.time_epoch",
                                            "-e",
                                            "ecat.cmd",
                                            "-e",
                                            "ecat.adp",
                                            "-e",
                                            "ecat.ado",
                                            "-e",
                                            field},
                                           {}, 60s);
    std::vector<DcWrite> writes;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::vector<std::string>> columns;
        std::istringstream fields(line);
        for (std::string text; std::getline(fields, text, '\t');) {
            std::vector<std::string> items;
            std::istringstream parts(text);
            for (std::string item; std::getline(parts, item, ';');)
                items.push_back(item);
            columns.push_back(items);
        }
        if (columns.size() < 5 || columns[0].empty())
            continue;
        std::size_t value = 0;  // the next decoded value of this frame
        for (std::size_t k = 0; k < columns[1].size() && k < columns[2].size() &&
                                k < columns[3].size() && value < columns[4].size();
             ++k) {
            if (std::stoul(columns[1][k], nullptr, 0) != 5 ||
                std::stoul(columns[3][k], nullptr, 0) != ado)
                continue;
            writes.push_back({static_cast<unsigned>(std::stoul(columns[2][k], nullptr, 0)),
                              std::stoull(columns[4][value++], nullptr, 0),
                              std::stod(columns[0][0])});
        }
    }
    return writes;
}

// KickCAT's ESC takes its local time as it processes a datagram, so a host stall
// between two slaves shows as a short excursion: such a slave must come back.
bool EveryStrayClockCameBack() {
    using testsupport::KeptLog;
    for (const testsupport::LogLine& left : KeptLog::Lines(" differs from the reference clock")) {
        const std::string who = left.text.substr(0, left.text.find(" differs"));
        const auto back = KeptLog::Lines(who + " follows the reference clock again");
        if (std::none_of(back.begin(), back.end(), [&](const testsupport::LogLine& line) {
                return line.masterTimeNs >= left.masterTimeNs;
            }))
            return false;
    }
    return true;
}

// Walks the line to OP and holds it until the phase is measured and strays are back.
void RunToOp(const eni::NetworkConfig& config, const fs::path& pcap) {
    auto raw = master::RawSocketLink::Open(wiretest::MasterInterface());
    ASSERT_TRUE(raw.has_value());
    auto link = master::PcapLink::Open(**raw, pcap.string());
    ASSERT_TRUE(link.has_value());
    master::Exchange exchange(**link, {});
    auto segment = master::BringUp(exchange, config);
    ASSERT_TRUE(segment.has_value());
    master::StateMachineOptions options;
    options.realtimeCycle = false;
    master::StateMachine machine(exchange, config, segment->found(), options);
    machine.Request(ecat::AlState::kOp);
    ASSERT_TRUE(machine.WaitIdle(std::chrono::steady_clock::now() + 60s));
    EXPECT_EQ(machine.reached(), ecat::AlState::kOp);
    // The phase is measured after 500 cycles, over 1000 more.
    testsupport::WaitUntil([] { return testsupport::KeptLog::Count("keeps its phase") > 0; }, 10s);
    testsupport::WaitUntil(EveryStrayClockCameBack, 3s);
    machine.Request(ecat::AlState::kInit);
    machine.WaitIdle(std::chrono::steady_clock::now() + 30s);
}

TEST(MasterOnKickcatWithClocks, SetsTheClocksUpAndLocksTheCycleOntoTheReference) {
    REQUIRE_PEER(interop::NetworkSimulator());
    testsupport::TempNode files;
    std::string text = testsupport::ReadFile(KICKCAT_LINE_ENI);
    const std::string dc =
        "<DC><PotentialReferenceClock>1</PotentialReferenceClock><CycleTime0>1000000</CycleTime0>"
        "<ShiftTime>250000</ShiftTime></DC></Slave>";
    for (auto at = text.find("</Slave>"); at != std::string::npos;
         at = text.find("</Slave>", at + dc.size()))
        text.replace(at, 8, dc);
    auto eni = eni::ReadEniText(text);
    ASSERT_TRUE(eni.has_value());

    interop::KickcatLine simulator;
    ASSERT_TRUE(simulator.Serves()) << simulator.Output();
    const fs::path pcap = files.dir() / "dc.pcap";
    testsupport::KeptLog log;
    RunToOp(eni->config, pcap);
    simulator.Stop();
    for (const char* part : {"DC: 3 of 3 slaves have a clock", "DC: set up in", "keeps its phase",
                             "largest system time difference"}) {
        const auto found = log.Lines(part);
        ASSERT_FALSE(found.empty()) << part;
        std::printf("%s\n", found.back().text.c_str());
    }
    EXPECT_TRUE(EveryStrayClockCameBack()) << log.Text();

    // One delay per slave, growing along the line from 0 at the first.
    std::map<unsigned, std::uint64_t> delayOf;
    for (const DcWrite& w : WritesTo(pcap, 0x0928, "ecat.reg.dc.systimedelay"))
        delayOf[w.adp] = w.value;
    ASSERT_EQ(delayOf.size(), 3u);
    std::vector<std::uint64_t> delays;
    for (const auto& [adp, delay] : delayOf)
        delays.push_back(delay);
    EXPECT_EQ(delays[0], 0u);
    EXPECT_GT(delays[1], 0u);
    EXPECT_GT(delays[2], delays[1]);
    EXPECT_LT(delays[2], 100'000u);  // well under 100 us on a veth
    EXPECT_GE(WritesTo(pcap, 0x0920, "ecat.reg.dc.systimeoffs").size(), 3u);

    // The start time: a whole number of 1 ms cycles plus the 250 us shift,
    // in the future of the frame that writes it (the offsets put system
    // time on the host's real time since 2000).
    const auto starts = WritesTo(pcap, 0x0990, "ecat.reg.dc.starttime0");
    ASSERT_GE(starts.size(), 3u);
    for (const DcWrite& w : starts) {
        EXPECT_EQ(w.value % 1'000'000, 250'000u) << w.value;
        const double ahead = static_cast<double>(w.value) - (w.time - 946684800.0) * 1e9;
        EXPECT_GT(ahead, 0.0) << w.value;
        EXPECT_LT(ahead, 2e9) << w.value;
    }
}

}  // namespace
