#include "driver/simulated_network.h"

#include <gtest/gtest.h>

#include "driver/sii_image.h"
#include "ipc/master_codes.h"

namespace parvane::driver {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    SteadyClock fn() {
        return [this] { return now; };
    }
};

TEST(SiiImage, HeaderChecksumAndIdentityLittleEndian) {
    auto image = MakeSiiImage({0x00000002, 0x044C2C52, 0x00110000}, 7);
    ASSERT_GE(image.size(), 128u);
    EXPECT_EQ(image[14], SiiChecksum({image.data(), 14}));
    EXPECT_EQ(image[15], 0);
    const std::uint8_t identity[] = {0x02, 0x00, 0x00, 0x00, 0x52, 0x2C, 0x4C, 0x04,
                                     0x00, 0x00, 0x11, 0x00, 0x07, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(std::begin(identity), std::end(identity), image.begin() + 16));
}

TEST(SiiImage, ChecksumIsCrc8Poly07InitFF) {
    // Known value of this CRC for "123456789".
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(SiiChecksum(check), 0xFB);
}

SimulatedNetwork TwoSlaves(FakeClock& clock, AlState secondMax = AlState::kOp,
                           std::chrono::milliseconds transition = 300ms) {
    return SimulatedNetwork(
        {{{2, 0x044C2C52, 0x00110000}, AlState::kOp}, {{2, 0x07D43052, 1}, secondMax}}, transition,
        clock.fn());
}

TEST(SimulatedNetwork, EepromReadsOfOneToFourBytes) {
    FakeClock clock;
    auto network = TwoSlaves(clock);
    EXPECT_EQ(network.OnlineCount(), 2);
    std::uint32_t value = 0;
    EXPECT_EQ(network.ReadEeprom(0, 20, 4, value), kMasterOk);
    EXPECT_EQ(value, 0x044C2C52u);
    EXPECT_EQ(network.ReadEeprom(1, 20, 4, value), kMasterOk);
    EXPECT_EQ(value, 0x07D43052u);
    EXPECT_EQ(network.ReadEeprom(0, 20, 2, value), kMasterOk);
    EXPECT_EQ(value, 0x2C52u);
    EXPECT_EQ(network.ReadEeprom(0, 23, 1, value), kMasterOk);
    EXPECT_EQ(value, 0x04u);
    EXPECT_EQ(network.ReadEeprom(0, 124, 4, value), kMasterOk);
}

TEST(SimulatedNetwork, EepromReadsOutsideAnswerTheirStatus) {
    FakeClock clock;
    auto network = TwoSlaves(clock);
    std::uint32_t value = 0xABCD;
    EXPECT_EQ(network.ReadEeprom(2, 16, 4, value), kMasterNoSuchSlave);
    EXPECT_EQ(network.ReadEeprom(0, 125, 4, value), kMasterEepromRange);
    EXPECT_EQ(network.ReadEeprom(0, 0xFFFF, 1, value), kMasterEepromRange);
    EXPECT_EQ(network.ReadEeprom(0, 16, 0, value), kMasterInvalidArgument);
    EXPECT_EQ(network.ReadEeprom(0, 16, 5, value), kMasterInvalidArgument);
    EXPECT_EQ(value, 0xABCDu);
}

TEST(SimulatedNetwork, StateIsReachedOnceTheTransitionTimeHasPassed) {
    FakeClock clock;
    auto network = TwoSlaves(clock);
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
    network.RequestState(AlState::kPreOp);
    EXPECT_EQ(network.RequestedState(), AlState::kPreOp);
    clock.now += 299ms;
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
    clock.now += 1ms;
    EXPECT_EQ(network.CurrentState(), AlState::kPreOp);
}

TEST(SimulatedNetwork, RepeatedRequestDoesNotRestartTheClock) {
    FakeClock clock;
    auto network = TwoSlaves(clock);
    network.RequestState(AlState::kSafeOp);
    clock.now += 200ms;
    network.RequestState(AlState::kSafeOp);
    clock.now += 100ms;
    EXPECT_EQ(network.CurrentState(), AlState::kSafeOp);
    // A different state does start a new change.
    network.RequestState(AlState::kOp);
    clock.now += 200ms;
    network.RequestState(AlState::kPreOp);
    clock.now += 200ms;
    EXPECT_EQ(network.CurrentState(), AlState::kSafeOp);
    clock.now += 100ms;
    EXPECT_EQ(network.CurrentState(), AlState::kPreOp);
}

TEST(SimulatedNetwork, ASlaveBelowTheStateKeepsTheNetworkWhereItWas) {
    FakeClock clock;
    auto network = TwoSlaves(clock, AlState::kSafeOp, 0ms);
    network.RequestState(AlState::kPreOp);
    EXPECT_EQ(network.CurrentState(), AlState::kPreOp);
    network.RequestState(AlState::kSafeOp);
    EXPECT_EQ(network.CurrentState(), AlState::kSafeOp);
    network.RequestState(AlState::kOp);
    clock.now += 10s;
    EXPECT_EQ(network.CurrentState(), AlState::kSafeOp);
    network.RequestState(AlState::kOp);
    EXPECT_EQ(network.CurrentState(), AlState::kSafeOp);
    network.RequestState(AlState::kInit);
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
}

TEST(SimulatedNetwork, InitIsAlwaysReached) {
    FakeClock clock;
    auto network = TwoSlaves(clock, AlState::kInit, 0ms);
    network.RequestState(AlState::kPreOp);
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
    network.RequestState(AlState::kInit);
    EXPECT_EQ(network.CurrentState(), AlState::kInit);
}

TEST(OnlineSlaves, DescriptionFillsMissingIdentityFromTheEni) {
    std::vector<SlaveIdentity> eni = {{1, 2, 3}, {4, 5, 6}};
    SimDescription none;
    auto same = OnlineSlaves(none, eni);
    ASSERT_EQ(same.size(), 2u);
    EXPECT_EQ(same[1].identity, eni[1]);
    EXPECT_EQ(same[1].maxState, AlState::kOp);

    SimDescription own;
    own.slaves =
        std::vector<SimSlave>{{{}, {}, 9, AlState::kSafeOp}, {}, {7, {}, {}, AlState::kOp}};
    auto online = OnlineSlaves(own, eni);
    ASSERT_EQ(online.size(), 3u);
    EXPECT_EQ(online[0].identity, (SlaveIdentity{1, 2, 9}));
    EXPECT_EQ(online[0].maxState, AlState::kSafeOp);
    EXPECT_EQ(online[1].identity, eni[1]);
    EXPECT_EQ(online[2].identity, (SlaveIdentity{7, 0, 0}));
}

}  // namespace
}  // namespace parvane::driver
