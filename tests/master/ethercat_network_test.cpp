// The driver's network on frames against emulated slaves: EEPROM reads as
// the master operation answers them, station address selectors, and opens
// on a wire that answers, stops answering, or has gained a slave, and the
// comparison with the ENI that each open makes.
#include "driver/ethercat_network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/master_service.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "ipc/master_codes.h"
#include "master/log.h"
#include "tests/support/scripted_link.h"

namespace parvane::driver {
namespace {

std::vector<std::string> g_lines;
std::mutex g_linesMutex;
void Collect(const char* line) {
    std::lock_guard lock(g_linesMutex);
    g_lines.emplace_back(line);
}

// Emulated slaves behind a switch that can cut the wire, or put another
// segment (`other`, when given) on it.
class SwitchedWire : public Wire {
  public:
    SwitchedWire(const eni::NetworkConfig& config, const std::string& description,
                 const std::string& other = "{}")
        : segment_(emulator::BuildSegment(config, *emulator::ReadDescriptionText(description))),
          other_(emulator::BuildSegment(config, *emulator::ReadDescriptionText(other))) {}

    ecat::Link& link() override { return link_; }
    const char* description() const override { return "a switched emulated segment"; }

    std::atomic<bool> cut{false};
    std::atomic<bool> switched{false};  // the other segment is on the wire

  private:
    std::unique_ptr<emulator::Segment> segment_;
    std::unique_ptr<emulator::Segment> other_;
    testsupport::ScriptedLink link_{
        [this](const testsupport::Frame& sent, int, std::deque<testsupport::Frame>& arrivals) {
            testsupport::Frame frame = sent;
            emulator::Segment& on = switched ? *other_ : *segment_;
            if (!cut && on.Process(frame) == emulator::FrameOutcome::kAnswered)
                arrivals.push_back(std::move(frame));
        }};
};

class EthercatNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto eni = eni::ReadEniFile(std::filesystem::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
        ASSERT_TRUE(eni);
        config_ = eni->config;
    }

    std::unique_ptr<EthercatNetwork> Network(const std::string& description,
                                             SwitchedWire** wire = nullptr,
                                             const std::string& other = "{}") {
        auto owned = std::make_unique<SwitchedWire>(config_, description, other);
        if (wire != nullptr)
            *wire = owned.get();
        EthercatNetworkOptions options;
        options.exchange.replyTimeout = std::chrono::microseconds(500);
        options.stateMachine.realtimeCycle = false;
        auto network = std::make_unique<EthercatNetwork>(std::move(owned), config_, options);
        network->Start();
        return network;
    }

    eni::NetworkConfig config_;
};

TEST_F(EthercatNetworkTest, EepromReadsAsTheMasterOperationAnswersThem) {
    auto network = Network(R"({"slaves": [{}, {"eeprom_errors": 1000},
                                          {"eeprom_busy_us": 100000}, {}, {}]})");
    ASSERT_EQ(network->OnlineCount(), 5);
    struct Case {
        std::uint16_t position, offset, count;
        std::uint16_t status;
        std::uint32_t value;
    };
    // Slave 0: vendor 2 at byte 16, product code 0x0C1E2C52 at 20,
    // revision 0x00120000 at 24; the EEPROM has 256 bytes.
    const Case cases[] = {
        {0, 16, 4, kMasterOk, 0x00000002},
        {0, 20, 4, kMasterOk, 0x0C1E2C52},
        {0, 20, 2, kMasterOk, 0x2C52},
        {0, 21, 4, kMasterOk, 0x000C1E2C},  // odd offset across a word boundary
        {0, 23, 1, kMasterOk, 0x0C},
        {0, 24, 4, kMasterOk, 0x00120000},
        {0, 252, 4, kMasterOk, 0xFFFFFFFF},  // the last bytes (no category there)
        {0, 254, 4, kMasterEepromRange, 0},
        {0, 0xFFFF, 1, kMasterEepromRange, 0},
        {0, 16, 0, kMasterInvalidArgument, 0},
        {0, 16, 5, kMasterInvalidArgument, 0},
        {5, 16, 4, kMasterNoSuchSlave, 0},
        {1, 16, 4, kMasterEepromError, 0},  // never acknowledged
        {2, 16, 4, kMasterEepromBusy, 0},   // busy past the read's bound
        {3, 20, 4, kMasterOk, 0x0BC43052},
    };
    for (const Case& c : cases) {
        const auto read = network->ReadEeprom(c.position, c.offset, c.count);
        EXPECT_EQ(read ? kMasterOk : EepromReadStatus(read.error()), c.status)
            << c.position << " " << c.offset << " " << c.count;
        if (c.status == kMasterOk) {
            EXPECT_EQ(read.value_or(0), c.value) << c.position << " " << c.offset << " " << c.count;
        }
    }
}

TEST_F(EthercatNetworkTest, StationAddressesAreTheOnesTheMasterGave) {
    config_.slaves[2].physAddr = 0x0200;
    auto network = Network("{}");
    EXPECT_EQ(network->PositionOfStation(1001), 0);
    EXPECT_EQ(network->PositionOfStation(0x0200), 2);
    EXPECT_EQ(network->PositionOfStation(1003), std::nullopt);
    EXPECT_EQ(network->PositionOfStation(1005), 4);
}

TEST_F(EthercatNetworkTest, AnOpenBringsTheSegmentUpAgain) {
    SwitchedWire* wire = nullptr;
    auto network = Network(R"({"slaves": [{}, {}, {}]})", &wire);
    EXPECT_EQ(network->OnlineCount(), 3);
    EXPECT_TRUE(network->Open());

    wire->cut = true;
    EXPECT_FALSE(network->Open());
    EXPECT_EQ(network->OnlineCount(), 0);
    EXPECT_EQ(network->ReadEeprom(0, 16, 4).error(), master::Errc::kNoSlave);

    wire->cut = false;  // the cable is back
    EXPECT_TRUE(network->Open());
    EXPECT_EQ(network->OnlineCount(), 3);
    EXPECT_EQ(network->ReadEeprom(2, 16, 4), 2u);
}

TEST_F(EthercatNetworkTest, OpeningTheSameSegmentAgainNeverHidesASlaveFromTheStateMachine) {
    // The state machine reads every slave's AL status each millisecond by
    // station address; re-opens must not clear those addresses under it.
    auto owned = std::make_unique<SwitchedWire>(config_, "{}");
    EthercatNetworkOptions options;
    options.stateMachine.realtimeCycle = false;
    options.stateMachine.monitorPeriod = std::chrono::milliseconds(1);
    EthercatNetwork network(std::move(owned), config_, options);
    network.Start();
    g_lines.clear();
    master::SetLogSink(&Collect);
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(network.Open());
    master::SetLogSink(nullptr);
    EXPECT_EQ(network.OnlineCount(), 5);
    std::lock_guard lock(g_linesMutex);
    for (const std::string& line : g_lines)
        EXPECT_EQ(line.find("no longer answers"), std::string::npos) << line;
}

// Polls the reached state as the tool does, up to a bound.
bool Reaches(EthercatNetwork& network, AlState state) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (network.CurrentState() == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST_F(EthercatNetworkTest, TheToolsWalkStepByStepReachesEveryStateAndBack) {
    auto network = Network("{}");
    ASSERT_TRUE(network->Open());
    for (AlState state : {AlState::kPreOp, AlState::kSafeOp, AlState::kOp, AlState::kInit}) {
        network->RequestState(state);
        EXPECT_EQ(network->RequestedState(), state);
        ASSERT_TRUE(Reaches(*network, state)) << ecat::AlStateName(state);
    }
    // And once more after an open, as the tool's next run does.
    ASSERT_TRUE(network->Open());
    for (AlState state : {AlState::kPreOp, AlState::kSafeOp, AlState::kOp, AlState::kInit}) {
        network->RequestState(state);
        ASSERT_TRUE(Reaches(*network, state)) << ecat::AlStateName(state) << ", second run";
    }
}

// Each open compares the segment with the ENI again: a slave exchanged for
// another kind holds the network in INIT, and putting the right one back
// lets it start.
TEST_F(EthercatNetworkTest, AnOpenComparesTheSegmentWithTheEniAgain) {
    SwitchedWire* wire = nullptr;
    auto network =
        Network("{}", &wire, R"({"slaves": [{}, {}, {"product_code": "0x0C4B3052"}, {}, {}]})");
    EXPECT_FALSE(network->DiffersFromEni());

    wire->switched = true;
    g_lines.clear();
    master::SetLogSink(&Collect);
    ASSERT_TRUE(network->Open());
    master::SetLogSink(nullptr);
    EXPECT_TRUE(network->DiffersFromEni());
    EXPECT_EQ(network->OnlineCount(), 5);
    EXPECT_EQ(network->ReadEeprom(2, 20, 4), 0x0C4B3052u);  // the tool's step 3 still reads
    {
        std::lock_guard lock(g_linesMutex);
        const std::string want =
            "boot-up check: slave 2 at station 1003 (Term 3 (DO-2808, 8 digital outputs 24 V "
            "0.5 A)): product expected 0x0C4A3052, found 0x0C4B3052";
        EXPECT_NE(std::find_if(g_lines.begin(), g_lines.end(),
                               [&](const std::string& l) { return l.ends_with(want); }),
                  g_lines.end());
    }
    network->RequestState(AlState::kPreOp);
    EXPECT_EQ(network->RequestedState(), AlState::kInit);

    wire->switched = false;
    ASSERT_TRUE(network->Open());
    EXPECT_FALSE(network->DiffersFromEni());
    network->RequestState(AlState::kPreOp);
    EXPECT_TRUE(Reaches(*network, AlState::kPreOp));
}

TEST_F(EthercatNetworkTest, NothingOnTheWireAtStartIsFoundAtTheNextOpen) {
    SwitchedWire* wire = nullptr;
    auto owned = std::make_unique<SwitchedWire>(config_, "{}");
    wire = owned.get();
    wire->cut = true;
    EthercatNetworkOptions options;
    options.exchange.replyTimeout = std::chrono::microseconds(500);
    options.stateMachine.realtimeCycle = false;
    EthercatNetwork network(std::move(owned), config_, options);
    network.Start();
    EXPECT_EQ(network.OnlineCount(), 0);
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
    wire->cut = false;
    EXPECT_TRUE(network.Open());
    EXPECT_EQ(network.OnlineCount(), 5);
}

}  // namespace
}  // namespace parvane::driver
