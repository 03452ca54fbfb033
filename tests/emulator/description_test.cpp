// The network description: what each key means for the segment and for the
// driver's faults, and the refusals that name the key path.
#include <gtest/gtest.h>

#include <filesystem>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

struct Refusal {
    const char* text;
    const char* where;  // the key path; "" when the text is no JSON
    const char* why;    // the start of the message after "where: "
};

const Refusal kRefusals[] = {
    {"[]", "(top level)", "expected an object"},
    {"{\"slaves\": [] ", "", "JSON parse error"},
    {"{", "", "JSON parse error"},
    {R"({"slave": []})", "slave", "unknown key"},
    {R"({"slaves": {}})", "slaves", "expected an array"},
    {R"({"slaves": [1]})", "slaves[0]", "expected an object"},
    {R"({"slaves": [{"vendor": 1}]})", "slaves[0].vendor", "unknown key"},
    {R"({"slaves": [{}, {"vendor": 1}]})", "slaves[1].vendor", "unknown key"},
    {R"({"slaves": [{"vendor_id": -1}]})", "slaves[0].vendor_id", "must not be negative"},
    {R"({"slaves": [{}, {"vendor_id": -1}]})", "slaves[1].vendor_id", "must not be negative"},
    {R"({"slaves": [{"vendor_id": "12"}]})", "slaves[0].vendor_id", "expected a number"},
    {R"({"slaves": [{"vendor_id": 4294967296}]})", "slaves[0].vendor_id", "larger than"},
    {R"({"slaves": [{"product_code": "1234"}]})", "slaves[0].product_code", "expected a number"},
    {R"({"slaves": [{"product_code": "0x"}]})", "slaves[0].product_code", "expected a number"},
    {R"({"slaves": [{"revision_no": 1.5}]})", "slaves[0].revision_no", "expected a number"},
    {R"({"slaves": [{"revision_no": true}]})", "slaves[0].revision_no", "expected a number"},
    {R"({"slaves": [{"max_state": 3}]})", "slaves[0].max_state", "expected a state"},
    {R"({"slaves": [{"max_state": 0}]})", "slaves[0].max_state", "expected a state"},
    {R"({"slaves": [{"refusal_code": 0}]})", "slaves[0].refusal_code", "0 is no refusal"},
    {R"({"slaves": [{"refusal_code": 65536}]})", "slaves[0].refusal_code", "larger than 65535"},
    {R"({"slaves": [{"device_emulation": 1}]})", "slaves[0].device_emulation", "expected true"},
    {R"({"slaves": [{"eeprom_errors": true}]})", "slaves[0].eeprom_errors", "expected a number"},
    {R"({"slaves": [{"pdo_defaults": []}]})", "slaves[0].pdo_defaults", "expected an object"},
    {R"({"slaves": [{"pdo_defaults": {"rx": []}}]})", "slaves[0].pdo_defaults.rx", "unknown key"},
    {R"({"slaves": [{"pdo_defaults": {"inputs": 6656}}]})", "slaves[0].pdo_defaults.inputs",
     "expected an array"},
    {R"({"slaves": [{"pdo_defaults": {"outputs": [65536]}}]})", "slaves[0].pdo_defaults.outputs[0]",
     "larger than 65535"},
    {R"({"slaves": [{"dc_drift_ppm": 1000.5}]})", "slaves[0].dc_drift_ppm", "beyond +-1000"},
    {R"({"slaves": [{"dc_drift_ppm": "fast"}]})", "slaves[0].dc_drift_ppm", "expected a number"},
    {R"({"slaves": [{"dc_start_ns": -1}]})", "slaves[0].dc_start_ns", "expected a number"},
    {R"({"slaves": [{"dc_forward_ns": 1000001}]})", "slaves[0].dc_forward_ns", "larger than"},
    {R"({"slaves": [{"dc_cable_ns": -3}]})", "slaves[0].dc_cable_ns", "must not be negative"},
    {R"({"slaves": [{"dc_32bit": 1}]})", "slaves[0].dc_32bit", "expected true"},
    {R"({"slaves": [{"dc_drift": 1}]})", "slaves[0].dc_drift", "unknown key"},
    {R"({"slaves": [{"sync0_stops_after_ms": 3600001}]})", "slaves[0].sync0_stops_after_ms",
     "larger than 3600000"},
    {R"({"dc_drift_spread_ppm": -1})", "dc_drift_spread_ppm", "must not be negative"},
    {R"({"dc_seed": 1.5})", "dc_seed", "expected a number"},
    {R"({"dc_sync_checks": "no"})", "dc_sync_checks", "expected true"},
    {R"({"transition_ms": 3600001})", "transition_ms", "larger than 3600000"},
    {R"({"transition_ms": "fast"})", "transition_ms", "expected a number"},
    {R"({"transition_ms": -5})", "transition_ms", "must not be negative"},
    {R"({"lose_frames": [1, 0]})", "lose_frames[1]", "frames are numbered from 1"},
    {R"({"lose_frames": 3})", "lose_frames", "expected an array"},
    {R"({"silent_after_ms": "soon"})", "silent_after_ms", "expected a number"},
    {R"({"max_openings": 1001})", "max_openings", "larger than 1000"},
    {R"({"max_openings": 100000})", "max_openings", "larger than 1000"},
    {R"({"faults": {}})", "faults", "expected an array"},
    {R"({"faults": [{"status": 1}]})", "faults[0].op", "missing"},
    {R"({"faults": [{"op": "MasterOpen"}]})", "faults[0].status", "missing"},
    {R"({"faults": [{"op": "MasterFly", "status": 1}]})", "faults[0].op", "not an operation"},
    {R"({"faults": [{"op": "MasterClose", "status": 1}]})", "faults[0].op", "not an operation"},
    {R"({"faults": [{"op": 32, "status": 1}]})", "faults[0].op", "not an operation"},
    {R"({"faults": [{"op": "MasterOpen", "status": 65536}]})", "faults[0].status", "larger than"},
    {R"({"faults": [{"op": "MasterOpen", "status": 1, "position": 0}]})", "faults[0].position",
     "does not apply to MasterOpen"},
    {R"({"faults": [{"op": "MasterGetSlaveInfo", "status": 1, "offset": 0}]})", "faults[0].offset",
     "does not apply to MasterGetSlaveInfo"},
    {R"({"faults": [{"op": "MasterGetState", "status": 1, "state": 2}]})", "faults[0].state",
     "does not apply to MasterGetState"},
    {R"({"faults": [{"op": "MasterRequestState", "status": 1, "state": 3}]})", "faults[0].state",
     "expected a state"},
    {R"({"faults": [{"op": "MasterOpen", "status": 1, "times": -1}]})", "faults[0].times",
     "must not be negative"},
    {R"({"faults": [{"op": "MasterOpen", "status": 1}, {"op": "MasterOpen", "status": 1, "when": 2}]})",
     "faults[1].when", "unknown key"},
};

TEST(Description, RefusalsNameTheKey) {
    for (const Refusal& r : kRefusals) {
        SCOPED_TRACE(r.text);
        auto d = ReadDescriptionText(r.text);
        ASSERT_FALSE(d.has_value());
        const std::string start = *r.where ? std::string(r.where) + ": " + r.why : r.why;
        EXPECT_TRUE(d.error().message.starts_with(start)) << d.error().message;
        EXPECT_EQ(d.error().where, r.where);
    }
}

TEST(Description, EveryKeyIsReadWithCommentsAndHexTexts) {
    auto d = ReadDescriptionText(R"({
        "slaves": [                      // ring order
          {"vendor_id": "0x2", "product_code": 7, "max_state": 4, "refusal_code": "0x0020",
           "eeprom_busy_us": 250, "eeprom_errors": 2, "alias": 9, "device_emulation": true},
          {"product_code": "0x044C2C52", "revision_no": "0x00110000", "max_state": 8,
           "pdo_defaults": {"outputs": ["0x1601", 5634], "inputs": []}}],
        "transition_ms": 300, "eeprom_busy_us": 100, "lose_every": 5, "lose_frames": [2, 9],
        "silent_after_ms": 1000, "silent_after_frames": 50, "max_openings": 4,
        "faults": [{"op": "MasterOpen", "status": 39},
                   {"op": "MasterReadSlaveEeprom", "position": 2, "offset": 16, "status": "0x0301",
                    "times": 1},
                   {"op": "MasterRequestState", "state": 4, "status": 258}]})");
    ASSERT_TRUE(d.has_value()) << d.error().message;
    ASSERT_TRUE(d->slaves.has_value());
    ASSERT_EQ(d->slaves->size(), 2u);
    const DescribedSlave& s = (*d->slaves)[0];
    EXPECT_EQ(s.vendorId, 2u);
    EXPECT_EQ(s.productCode, 7u);
    EXPECT_FALSE(s.revisionNo.has_value());
    EXPECT_EQ(s.maxState, ecat::AlState::kSafeOp);
    EXPECT_EQ(s.refusalCode, 0x0020);
    EXPECT_EQ(s.eepromBusyUs, 250u);
    EXPECT_EQ(s.eepromErrors, 2u);
    EXPECT_EQ(s.alias, 9);
    EXPECT_TRUE(s.deviceEmulation);
    const DescribedSlave& t = (*d->slaves)[1];
    EXPECT_FALSE(t.vendorId.has_value());
    EXPECT_EQ(t.productCode, 0x044C2C52u);
    EXPECT_EQ(t.revisionNo, 0x00110000u);
    EXPECT_EQ(t.maxState, ecat::AlState::kOp);
    EXPECT_EQ(t.outputPdos, (std::vector<std::uint16_t>{0x1601, 0x1602}));
    EXPECT_EQ(t.inputPdos, std::vector<std::uint16_t>{});
    EXPECT_FALSE(s.outputPdos.has_value());
    EXPECT_EQ(d->transitionMs, 300u);
    EXPECT_EQ(d->eepromBusyUs, 100u);
    EXPECT_EQ(d->loseEvery, 5u);
    EXPECT_EQ(d->loseFrames, (std::vector<std::uint64_t>{2, 9}));
    EXPECT_EQ(d->silentAfterMs, 1000u);
    EXPECT_EQ(d->silentAfterFrames, 50u);
    EXPECT_EQ(d->maxOpenings, 4u);
    ASSERT_EQ(d->faults.size(), 3u);
    EXPECT_EQ(d->faults[0].op, DriverOperation::kOpen);
    EXPECT_EQ(d->faults[0].status, 39);
    EXPECT_FALSE(d->faults[0].times || d->faults[0].position || d->faults[0].state);
    EXPECT_EQ(d->faults[1].op, DriverOperation::kReadSlaveEeprom);
    EXPECT_EQ(d->faults[1].position, 2);
    EXPECT_EQ(d->faults[1].offset, 16);
    EXPECT_EQ(d->faults[1].status, 0x0301);
    EXPECT_EQ(d->faults[1].times, 1u);
    EXPECT_EQ(d->faults[2].state, ecat::AlState::kSafeOp);
}

TEST(Description, DefaultsWhenKeysAreMissing) {
    auto d = ReadDescriptionText("{}");
    ASSERT_TRUE(d.has_value()) << d.error().message;
    EXPECT_FALSE(d->slaves);
    EXPECT_EQ(d->transitionMs, 0u);
    EXPECT_EQ(d->maxOpenings, 16u);
    EXPECT_TRUE(d->faults.empty());
    auto none = ReadDescriptionText(R"({"slaves": []})");
    ASSERT_TRUE(none.has_value());
    ASSERT_TRUE(none->slaves);
    EXPECT_TRUE(none->slaves->empty());
}

TEST(Description, FilesAreReadOrRefusedByTheirPath) {
    for (const char* name :
         {"five-slaves.matching.sim.json", "five-slaves.revision-mismatch.sim.json",
          "five-slaves.stops-at-safeop.sim.json"}) {
        auto d = ReadDescriptionFile(std::filesystem::path(EXAMPLES_DIR) / name);
        ASSERT_TRUE(d.has_value()) << name << ": " << d.error().message;
        ASSERT_TRUE(d->slaves) << name;
        EXPECT_EQ(d->slaves->size(), 5u) << name;
    }
    EXPECT_FALSE(ReadDescriptionFile("/nonexistent.json").has_value());
    auto device = ReadDescriptionFile("/dev/zero");
    ASSERT_FALSE(device.has_value());
    EXPECT_NE(device.error().message.find("not a regular file"), std::string::npos)
        << device.error().message;
    EXPECT_EQ(device.error().where, "/dev/zero");
}

std::uint32_t EepromLong(Segment& segment, std::uint16_t adp, std::uint16_t word) {
    Exchange(segment, 2, adp, 0x0502,
             Bytes{0x00, 0x01, static_cast<std::uint8_t>(word),
                   static_cast<std::uint8_t>(word >> 8), 0, 0});
    const Bytes d = Exchange(segment, 1, adp, 0x0508, Zeros(4)).data;
    return static_cast<std::uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16) | (d[3] << 24));
}

TEST(Description, IdentitiesFromTheDescriptionOrTheEniAtTheSamePosition) {
    FakeClock clock;
    // Three described slaves over an ENI of two: the third takes zeros.
    auto segment = MakeSegment({MailboxSlave(0x11), MailboxSlave(0x22)}, clock,
                               R"({"slaves": [{"product_code": "0x99"}, {}, {"vendor_id": 5}]})");
    ASSERT_EQ(segment->size(), 3u);
    EXPECT_EQ(EepromLong(*segment, 0, 8), 0xABCu);
    EXPECT_EQ(EepromLong(*segment, 0, 0x0A), 0x99u);
    EXPECT_EQ(EepromLong(*segment, 0xFFFF, 0x0A), 0x22u);
    EXPECT_EQ(EepromLong(*segment, 0xFFFE, 8), 5u);
    EXPECT_EQ(EepromLong(*segment, 0xFFFE, 0x0A), 0u);
    EXPECT_EQ(EepromLong(*segment, 0xFFFE, 0x0C), 0u);

    // Fewer described slaves than the ENI has: only those answer.
    auto fewer =
        MakeSegment({MailboxSlave(0x11), MailboxSlave(0x22)}, clock, R"({"slaves": [{}]})");
    EXPECT_EQ(fewer->size(), 1u);
    EXPECT_EQ(Exchange(*fewer, 7, 0, 0x0130, Zeros(2)).wkc, 1);
    // No "slaves" key: the ENI's slaves as they are.
    auto same = MakeSegment({MailboxSlave(0x11), MailboxSlave(0x22)}, clock);
    EXPECT_EQ(same->size(), 2u);
}

// Slaves that differ only in identity, serial number and instance name share
// one model, yet each answers with its own identity, also after an EEPROM
// write has given it an image of its own; another mailbox is another model.
TEST(Description, SlavesOfOneKindShareOneModel) {
    FakeClock clock;
    eni::Slave first = MailboxSlave(0x1111);
    first.name = "Term 1 (XY1234)";
    eni::Slave second = MailboxSlave(0x2222);
    second.name = "Term 2 (XY1234)";
    second.serialNo = 0x0BAD;
    eni::Slave other = MailboxSlave(0x1111);
    other.mailbox->recvLength = 64;
    auto segment = MakeSegment({first, second, other}, clock);
    EXPECT_EQ(&segment->slave(0).model(), &segment->slave(1).model());
    EXPECT_NE(&segment->slave(0).model(), &segment->slave(2).model());

    auto word = [&](std::uint16_t adp, std::uint8_t at) {
        Exchange(*segment, kApwr, adp, 0x0502, {0x00, 0x01, at, 0x00, 0x00, 0x00});
        return ToHex(Exchange(*segment, kAprd, adp, 0x0508, Zeros(4)).data);
    };
    // Two words a read: 0x0A-0x0B the product code, 0x0E-0x0F the serial number.
    EXPECT_EQ(word(0x0000, 0x0A), "11 11 00 00");
    EXPECT_EQ(word(0xFFFF, 0x0A), "22 22 00 00");
    EXPECT_EQ(word(0xFFFF, 0x0E), "ad 0b 00 00");
    // Write word 0x20 of the second slave (write enable with the command).
    Exchange(*segment, kApwr, 0xFFFF, 0x0508, {0x5A, 0xA5});
    Exchange(*segment, kApwr, 0xFFFF, 0x0502, {0x01, 0x02, 0x20, 0x00, 0x00, 0x00});
    EXPECT_EQ(word(0xFFFF, 0x20).substr(0, 5), "5a a5");
    EXPECT_EQ(word(0xFFFF, 0x0A), "22 22 00 00");
    EXPECT_EQ(word(0x0000, 0x20).substr(0, 5), "00 00");

    // Object 0x1018:02, read from the shared dictionary, then from the copy
    // the first download gives the slave.
    BringUp(*segment, 0xFFFF, 2);
    const Bytes upload = Hex("0a 00 00 00 00 13 00 20 40 18 10 02 00 00 00 00");
    EXPECT_EQ(ToHex(MailboxExchange(*segment, 0xFFFF, upload)).substr(36, 11), "22 22 00 00");
    DownloadStartupObjects(*segment, 0xFFFF);
    EXPECT_EQ(ToHex(MailboxExchange(*segment, 0xFFFF, upload)).substr(36, 11), "22 22 00 00");
}

}  // namespace
}  // namespace parvane::emulator::test
