// The boot-up comparison of the slaves found with the ENI's: which
// differences it finds, and which revision bits a file's own SII checks ask
// for (read from real exports, whose vendor and product checks have the
// shape a revision check has).
#include "master/network_comparison.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "ecat/registers.h"
#include "eni/eni_reader.h"

namespace parvane::master {
namespace {

using K = DifferenceKind;

constexpr std::uint32_t kRev = 0x00110000;

// An SII read of `word` (APWR 0x0502) and the check of what it read (APRD
// 0x0508 with a Validate), as configurators write them.
std::vector<eni::InitCmd> SiiCheck(std::uint8_t word, std::vector<std::uint8_t> expect,
                                   std::vector<std::uint8_t> mask = {}) {
    eni::InitCmd read;
    read.transitions.Add(eni::Transition::kIP);
    read.datagram = {ecat::Command::kApwr,        0, ecat::reg::kSiiControl, 0, false,
                     {0x00, 0x01, word, 0, 0, 0}, 1};
    eni::InitCmd check = read;
    check.datagram = {ecat::Command::kAprd, 0, ecat::reg::kSiiData, 0, false, {0, 0, 0, 0}, 1};
    check.validate = eni::Validate{std::move(expect), std::move(mask), 100};
    return {read, check};
}

eni::Slave Eni(const char* name, std::uint16_t station, std::uint32_t product) {
    eni::Slave s;
    s.name = name;
    s.physAddr = station;
    s.identity = {2, product, kRev};
    return s;
}

eni::Slave Checked(eni::Slave s) {  // its IP commands check the whole revision
    s.initCmds = SiiCheck(0x0C, {0x00, 0x00, 0x11, 0x00});
    return s;
}

SlaveOnWire Found(std::uint16_t position, std::uint32_t product, std::uint32_t revision = kRev,
                  std::uint32_t vendor = 2) {
    return {position, static_cast<std::uint16_t>(1001 + position),
            eni::SlaveIdentity{vendor, product, revision}};
}

Difference Make(K kind, std::uint16_t position, const char* name) {
    Difference d;
    d.kind = kind;
    d.position = position;
    d.stationAddress = static_cast<std::uint16_t>(1001 + position);
    d.name = name;
    return d;
}

// A difference in an identity value (vendor, product or revision).
Difference Differs(K kind, std::uint16_t position, const char* name, std::uint32_t expected,
                   std::uint32_t found, std::uint32_t mask = 0xFFFFFFFF) {
    Difference d = Make(kind, position, name);
    d.expected = expected;
    d.found = found;
    d.mask = mask;
    return d;
}

Difference Extra(std::uint16_t position, eni::SlaveIdentity identity) {
    Difference d = Make(K::kExtra, position, "");
    d.identity = identity;
    return d;
}

struct Case {
    const char* name;
    std::vector<eni::Slave> eni;
    std::vector<SlaveOnWire> found;
    std::vector<Difference> want;
};

TEST(NetworkComparison, FindsEveryDifferenceByPosition) {
    const eni::Slave a = Eni("A", 1001, 0xA), b = Eni("B", 1002, 0xB), c = Eni("C", 1003, 0xC);
    eni::Slave group = Eni("G", 1002, 0x6), member = Eni("M", 1003, 0x7);
    group.hotConnectGroupSize = 2;
    eni::Slave endCap = Eni("cap", 0, 0);
    endCap.passive = true;
    const Case cases[] = {
        {"same", {a, b, c}, {Found(0, 0xA), Found(1, 0xB), Found(2, 0xC)}, {}},
        {"one slave extra",
         {a, b},
         {Found(0, 0xA), Found(1, 0xB), Found(2, 0xC, 7)},
         {Extra(2, {2, 0xC, 7})}},
        {"the last slave missing",
         {a, b, c},
         {Found(0, 0xA)},
         {Make(K::kMissing, 1, "B"), Make(K::kMissing, 2, "C")}},
        {"two slaves swapped",
         {a, b},
         {Found(0, 0xB), Found(1, 0xA)},
         {Differs(K::kProduct, 0, "A", 0xA, 0xB), Differs(K::kProduct, 1, "B", 0xB, 0xA)}},
        {"another vendor and product",
         {a, b},
         {Found(0, 0xA), Found(1, 0xD, kRev, 9)},
         {Differs(K::kVendor, 1, "B", 2, 9), Differs(K::kProduct, 1, "B", 0xB, 0xD)}},
        {"a revision the file does not check", {a}, {Found(0, 0xA, 0x00120000)}, {}},
        {"a revision the file checks",
         {Checked(a)},
         {Found(0, 0xA, 0x00120000)},
         {Differs(K::kRevision, 0, "A", kRev, 0x00120000)}},
        {"an unreadable EEPROM is not compared", {a, b}, {Found(0, 0xA), {1, 1002, {}}}, {}},
        {"a hot-connect group absent", {a, group, member, c}, {Found(0, 0xA), Found(1, 0xC)}, {}},
        {"a hot-connect group present",
         {a, group, member, c},
         {Found(0, 0xA), Found(1, 0x6), Found(2, 0x7), Found(3, 0xC)},
         {}},
        {"a hot-connect group absent at the end", {a, group, member}, {Found(0, 0xA)}, {}},
        {"a passive terminal is passed over", {a, endCap, b}, {Found(0, 0xA), Found(1, 0xB)}, {}},
    };
    for (const Case& c : cases) {
        eni::NetworkConfig config;
        config.slaves = c.eni;
        EXPECT_EQ(CompareWithEni(config, c.found), c.want) << c.name;
    }
}

TEST(NetworkComparison, RevisionBitsAFileChecks) {
    struct RevisionCase {
        const char* name;
        std::vector<eni::InitCmd> cmds;
        std::optional<std::uint32_t> mask, value;
    };
    auto two = [](std::vector<eni::InitCmd> a, std::vector<eni::InitCmd> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const RevisionCase cases[] = {
        {"whole revision", SiiCheck(0x0C, {1, 2, 3, 4}), 0xFFFFFFFF, 0x04030201},
        {"low word only", SiiCheck(0x0C, {1, 2}), 0x0000FFFF, 0x0201},
        {"high word at 0x0D", SiiCheck(0x0D, {3, 4}), 0xFFFF0000, 0x04030000},
        {"under a mask", SiiCheck(0x0C, {1, 2, 3, 0x45}, {0xFF, 0, 0, 0xF0}), 0xF00000FF,
         0x40000001},
        {"an 8-byte read from the product code", SiiCheck(0x0A, {9, 9, 9, 9, 1, 2, 3, 4}),
         0xFFFFFFFF, 0x04030201},
        {"vendor and product only", two(SiiCheck(0x08, {2, 0, 0, 0}), SiiCheck(0x0A, {5, 0, 0, 0})),
         std::nullopt, std::nullopt},
        {"a read without its check", {SiiCheck(0x0C, {1, 2, 3, 4})[0]}, std::nullopt, std::nullopt},
    };
    for (const RevisionCase& c : cases) {
        eni::Slave slave;
        slave.initCmds = c.cmds;
        const auto check = RevisionCheckOf(slave);
        ASSERT_EQ(check.has_value(), c.mask.has_value()) << c.name;
        if (check) {
            EXPECT_EQ(check->mask, *c.mask) << c.name;
            EXPECT_EQ(check->value, *c.value) << c.name;
        }
    }
}

// Real exports check vendor and product code, never the revision: their
// slaves compare no revision. The same commands pointed at the revision
// words check it.
TEST(NetworkComparison, RealExportsCheckNoRevision) {
    const std::filesystem::path file =
        std::filesystem::path(SHARED_SAMPLES_DIR) / "kpierczy-cifx-imu.xml";
    if (!std::filesystem::exists(file))
        GTEST_SKIP() << "no " << file;
    auto eni = eni::ReadEniFile(file);
    ASSERT_TRUE(eni.has_value());
    ASSERT_FALSE(eni->config.slaves.empty());
    for (eni::Slave& slave : eni->config.slaves) {
        EXPECT_FALSE(RevisionCheckOf(slave)) << slave.name;
        bool moved = false;
        for (std::size_t i = 0; i + 1 < slave.initCmds.size(); ++i) {
            auto& data = slave.initCmds[i].datagram.data;
            if (slave.initCmds[i].datagram.ado == ecat::reg::kSiiControl && data.size() == 6 &&
                data[2] == 0x0A && slave.initCmds[i + 1].validate) {
                data[2] = 0x0C;
                slave.initCmds[i + 1].validate->data = {0x78, 0x56, 0x34, 0x12};
                moved = true;
            }
        }
        ASSERT_TRUE(moved) << slave.name << ": no product code check";
        const auto check = RevisionCheckOf(slave);
        ASSERT_TRUE(check) << slave.name;
        EXPECT_EQ(check->mask, 0xFFFFFFFF);
        EXPECT_EQ(check->value, 0x12345678u);
    }
}

}  // namespace
}  // namespace parvane::master
