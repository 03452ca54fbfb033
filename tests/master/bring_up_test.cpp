// Bring-up and EEPROM reads against a small stand-in segment: addresses as
// the ENI gives them, identities read all at once in a few frames, and an
// EEPROM interface that is slow, refuses, ignores commands or never ends.
#include "master/bring_up.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "master/eeprom.h"
#include "tests/master/fake_segment.h"
#include "tests/support/kept_log.h"

namespace parvane::master {
namespace {

using testing::FakeSegment;

class BringUpTest : public ::testing::Test {
  protected:
    static bool Logged(const std::string& text) { return testsupport::KeptLog::Count(text) > 0; }
    testsupport::KeptLog log_;
};

eni::NetworkConfig Config(std::vector<std::uint16_t> physAddrs) {
    eni::NetworkConfig config;
    for (std::size_t i = 0; i < physAddrs.size(); ++i) {
        eni::Slave slave;
        slave.name = "Slave " + std::to_string(i);
        slave.physAddr = physAddrs[i];
        slave.identity = {0x2, static_cast<std::uint32_t>(0x1000 + i), 0x00110000};
        config.slaves.push_back(slave);
    }
    return config;
}

ExchangeOptions Quick() {
    ExchangeOptions options;
    options.replyTimeout = std::chrono::microseconds(200);
    options.retries = 1;
    return options;
}

TEST(StationAddresses, FromTheEniThenAfterItsHighest) {
    struct Case {
        std::vector<std::uint16_t> eni;
        std::size_t count;
        std::vector<std::uint16_t> expected;
    };
    const Case cases[] = {
        {{1001, 1002, 1003}, 3, {1001, 1002, 1003}},
        {{1001, 1002, 1003}, 5, {1001, 1002, 1003, 1004, 1005}},
        {{1001, 1002, 1003}, 2, {1001, 1002}},
        {{0, 0}, 3, {1001, 1002, 1003}},  // no PhysAddr in the file
        {{1001, 1001}, 2, {1001, 1002}},  // a duplicate gets a free one
        {{5000, 2}, 3, {5000, 2, 5001}},  // after the highest, not after the last
        {{0xFFFF}, 3, {0xFFFF, 1, 2}},    // past the top the search wraps
        {{}, 2, {1001, 1002}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StationAddresses(Config(c.eni), c.count), c.expected)
            << "ENI of " << c.eni.size() << " slaves, " << c.count << " found";
    }
}

TEST_F(BringUpTest, AddressesAndIdentitiesOfEverySlave) {
    FakeSegment segment(4);
    eni::NetworkConfig config = Config({1001, 1002, 1003});
    for (std::size_t i = 0; i < 4; ++i) {
        segment.slaves[i].memory[ecat::reg::kStationAddress] = 0x34;  // a stale address
        segment.slaves[i].SetIdentity(0x2, static_cast<std::uint32_t>(0x1000 + i), 0x00110000);
    }
    segment.slaves[1].SetIdentity(0x2, 0x9999, 0x00120000);  // not what the ENI says
    segment.slaves[2].memory[ecat::reg::kSiiConfig] = 1;     // the PDI holds the EEPROM
    Exchange exchange(segment, Quick());
    auto found = BringUp(exchange, config);
    ASSERT_TRUE(found);
    ASSERT_EQ(found->slaves.size(), 4u);
    const std::uint16_t stations[] = {1001, 1002, 1003, 1004};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(found->slaves[i].found.position, i);
        EXPECT_EQ(found->slaves[i].found.stationAddress, stations[i]);
        EXPECT_EQ(segment.slaves[i].station(), stations[i]);
        ASSERT_TRUE(found->slaves[i].identity) << i;
    }
    EXPECT_EQ(segment.slaves[2].memory[ecat::reg::kSiiConfig], 0) << "EEPROM back to the master";
    EXPECT_EQ(*found->slaves[1].identity, (eni::SlaveIdentity{0x2, 0x9999, 0x00120000}));
    EXPECT_EQ(*found->slaves[3].identity, (eni::SlaveIdentity{0x2, 0x1003, 0x00110000}));
    EXPECT_TRUE(Logged("4 slaves answer (the ENI defines 3)"));
    EXPECT_TRUE(
        Logged("slave 0 at station 1001: vendor 0x00000002 product 0x00001000 revision "
               "0x00110000 (Slave 0), as the ENI expects"));
    EXPECT_TRUE(
        Logged("slave 1 at station 1002: vendor 0x00000002 product 0x00009999 revision "
               "0x00120000; the ENI expects vendor 0x00000002 product 0x00001001"));
    EXPECT_TRUE(
        Logged("slave 3 at station 1004: vendor 0x00000002 product 0x00001003 revision "
               "0x00110000, beyond the ENI's 3 slaves"));
}

TEST_F(BringUpTest, AHandfulOfFramesForHundredsOfSlaves) {
    constexpr std::size_t kCount = 600;
    FakeSegment segment(kCount);
    std::vector<std::uint16_t> phys;
    for (std::size_t i = 0; i < kCount; ++i) {
        phys.push_back(static_cast<std::uint16_t>(1001 + i));
        segment.slaves[i].SetIdentity(0x2, static_cast<std::uint32_t>(0x1000 + i), 0x00110000);
        segment.slaves[i].reads8 = i % 2 == 0;
    }
    Exchange exchange(segment, Quick());
    auto found = BringUp(exchange, Config(phys));
    ASSERT_TRUE(found);
    for (std::size_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(found->slaves[i].identity) << i;
        EXPECT_EQ(found->slaves[i].identity->productCode, 0x1000 + i);
    }
    // Addresses: 600 APWR of 14 bytes, 107 to a frame (6 frames); each of
    // the three reads: one broadcast command and 600 polls of 26 bytes, 57
    // to a frame (11 frames); the half that reads 8 bytes skips the second.
    EXPECT_LE(segment.sent.size(), 4u + 6 + 3 * 12);
    EXPECT_TRUE(Logged("536 more slaves as the ENI expects them"));
}

TEST_F(BringUpTest, NothingOnTheWireIsNoReply) {
    FakeSegment segment(3);
    segment.silent = true;
    Exchange exchange(segment, Quick());
    auto found = BringUp(exchange, Config({1001}));
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error(), Errc::kNoReply);
}

TEST_F(BringUpTest, AnEmptySegmentHasNoSlaves) {
    FakeSegment segment(0);
    Exchange exchange(segment, Quick());
    auto found = BringUp(exchange, Config({1001, 1002}));
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->slaves.empty());
    EXPECT_TRUE(Logged("the ENI's slaves from position 0 on (2 of them) do not answer"));
}

// One slave's EEPROM interface misbehaving, and what a read of it gives.
struct EepromCase {
    const char* name;
    void (*setUp)(testing::FakeSlave&);
    std::optional<Errc> error;  // nothing: the words are read
};

class EepromFaults : public ::testing::TestWithParam<EepromCase> {};

TEST_P(EepromFaults, BringUpAndASingleReadAgree) {
    const EepromCase& c = GetParam();
    for (bool single : {false, true}) {
        FakeSegment segment(2);
        for (auto& slave : segment.slaves)
            slave.SetIdentity(0x2, 0x44C2C52, 0x00110000);
        Exchange exchange(segment, Quick());
        EepromOptions options;
        options.timeout = std::chrono::milliseconds(5);
        BringUpOptions bringUp;
        bringUp.eeprom = options;
        auto found = BringUp(exchange, Config({1001, 1002}), bringUp);
        ASSERT_TRUE(found);
        c.setUp(segment.slaves[1]);
        if (single) {
            auto words = ReadEepromWords(exchange, 1002, 0x0A, options);
            if (c.error) {
                ASSERT_FALSE(words) << c.name;
                EXPECT_EQ(words.error(), *c.error) << c.name;
            } else {
                ASSERT_TRUE(words) << c.name << ": " << ErrorText(words.error());
                EXPECT_EQ(ecat::Get32(words->bytes.data()), 0x44C2C52u) << c.name;
            }
        } else {
            found = BringUp(exchange, Config({1001, 1002}), bringUp);
            ASSERT_TRUE(found);
            EXPECT_TRUE(found->slaves[0].identity) << c.name << ": the other slave";
            if (c.error) {
                EXPECT_FALSE(found->slaves[1].identity) << c.name;
                EXPECT_EQ(found->slaves[1].eepromError, c.error) << c.name;
            } else {
                ASSERT_TRUE(found->slaves[1].identity) << c.name;
                EXPECT_EQ(found->slaves[1].identity->productCode, 0x44C2C52u) << c.name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EepromFaults,
    ::testing::Values(
        EepromCase{"plain", [](testing::FakeSlave&) {}, std::nullopt},
        EepromCase{"reads 8 bytes", [](testing::FakeSlave& s) { s.reads8 = true; }, std::nullopt},
        EepromCase{"busy for a few polls", [](testing::FakeSlave& s) { s.busyPolls = 3; },
                   std::nullopt},
        EepromCase{"refuses once", [](testing::FakeSlave& s) { s.refusals = 1; }, std::nullopt},
        EepromCase{"still busy with an earlier read", [](testing::FakeSlave& s) { s.busyLeft = 4; },
                   std::nullopt},
        EepromCase{"an earlier read never ends",
                   [](testing::FakeSlave& s) { s.busyLeft = 1 << 30; }, Errc::kBusyTimeout},
        EepromCase{"ignores a command", [](testing::FakeSlave& s) { s.ignoredCommands = 1; },
                   std::nullopt},
        EepromCase{"refuses every try", [](testing::FakeSlave& s) { s.refusals = 1000; },
                   Errc::kAckError},
        EepromCase{"ignores every command", [](testing::FakeSlave& s) { s.ignoredCommands = 1000; },
                   Errc::kBusyTimeout},
        EepromCase{"never done", [](testing::FakeSlave& s) { s.busyPolls = 1 << 30; },
                   Errc::kBusyTimeout}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(Eeprom, AStationWithoutASlaveIsNoSlave) {
    FakeSegment segment(1);
    segment.slaves[0].memory[ecat::reg::kStationAddress] = 0xE9;  // 1001
    segment.slaves[0].memory[ecat::reg::kStationAddress + 1] = 0x03;
    Exchange exchange(segment, Quick());
    auto words = ReadEepromWords(exchange, 1002, 8);
    ASSERT_FALSE(words);
    EXPECT_EQ(words.error(), Errc::kNoSlave);
    segment.silent = true;
    words = ReadEepromWords(exchange, 1001, 8);
    ASSERT_FALSE(words);
    EXPECT_EQ(words.error(), Errc::kNoReply);
}

}  // namespace
}  // namespace parvane::master
