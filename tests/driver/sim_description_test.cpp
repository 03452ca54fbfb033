#include "driver/sim_description.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace parvane::driver {
namespace {

TEST(SimDescription, TheFullSchemaWithCommentsAndHexTexts) {
    auto d = ReadSimText(R"({
      "slaves": [                      // ring order
        { "vendor_id": 2, "product_code": "0x044C2C52", "revision_no": "0x00110000",
          "max_state": 8 },
        { "max_state": 4 }
      ],
      "transition_ms": 250,
      "max_openings": 3,
      "faults": [
        { "op": "MasterOpen", "status": 39 },
        { "op": "MasterGetOnlineSlaveCount", "status": 258, "times": 1 },
        { "op": "MasterGetSlaveInfo", "position": 1, "status": "0x1006" },
        { "op": "MasterReadSlaveEeprom", "position": 2, "offset": 16, "status": "0x0301" },
        { "op": "MasterRequestState", "state": 4, "status": 258 },
        { "op": "MasterGetState", "status": 15 }
      ]
    })");
    ASSERT_TRUE(d.has_value()) << d.error().message;
    ASSERT_TRUE(d->slaves);
    ASSERT_EQ(d->slaves->size(), 2u);
    EXPECT_EQ((*d->slaves)[0].vendorId, 2u);
    EXPECT_EQ((*d->slaves)[0].productCode, 0x044C2C52u);
    EXPECT_EQ((*d->slaves)[0].revisionNo, 0x00110000u);
    EXPECT_FALSE((*d->slaves)[1].vendorId);
    EXPECT_EQ((*d->slaves)[1].maxState, ecat::AlState::kSafeOp);
    EXPECT_EQ(d->transitionMs, 250u);
    EXPECT_EQ(d->maxOpenings, 3u);
    ASSERT_EQ(d->faults.size(), 6u);
    EXPECT_EQ(d->faults[0].op, MasterExport::Open);
    EXPECT_EQ(d->faults[0].status, 39);
    EXPECT_FALSE(d->faults[0].times);
    EXPECT_EQ(d->faults[1].times, 1u);
    EXPECT_EQ(d->faults[2].position, 1);
    EXPECT_EQ(d->faults[2].status, 0x1006);
    EXPECT_EQ(d->faults[3].offset, 16);
    EXPECT_EQ(d->faults[4].state, 4);
    EXPECT_EQ(d->faults[5].op, MasterExport::GetState);
}

TEST(SimDescription, DefaultsWhenKeysAreMissing) {
    auto d = ReadSimText("{}");
    ASSERT_TRUE(d.has_value()) << d.error().message;
    EXPECT_FALSE(d->slaves);
    EXPECT_EQ(d->transitionMs, 0u);
    EXPECT_EQ(d->maxOpenings, 16u);
    EXPECT_TRUE(d->faults.empty());
    auto none = ReadSimText(R"({"slaves": []})");
    ASSERT_TRUE(none.has_value());
    ASSERT_TRUE(none->slaves);
    EXPECT_TRUE(none->slaves->empty());
}

TEST(SimDescription, RefusalsNameTheKey) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "parse error"},
        {"[]", "top level"},
        {R"({"slave": []})", "slave"},
        {R"({"slaves": {}})", "slaves"},
        {R"({"slaves": [1]})", "slaves[0]"},
        {R"({"slaves": [{"vendor": 1}]})", "slaves[0].vendor"},
        {R"({"slaves": [{}, {"vendor_id": -1}]})", "slaves[1].vendor_id"},
        {R"({"slaves": [{"vendor_id": 4294967296}]})", "slaves[0].vendor_id"},
        {R"({"slaves": [{"product_code": "1234"}]})", "slaves[0].product_code"},
        {R"({"slaves": [{"product_code": "0x"}]})", "slaves[0].product_code"},
        {R"({"slaves": [{"revision_no": 1.5}]})", "slaves[0].revision_no"},
        {R"({"slaves": [{"revision_no": true}]})", "slaves[0].revision_no"},
        {R"({"slaves": [{"max_state": 3}]})", "slaves[0].max_state"},
        {R"({"slaves": [{"max_state": 0}]})", "slaves[0].max_state"},
        {R"({"transition_ms": "fast"})", "transition_ms"},
        {R"({"transition_ms": -5})", "transition_ms"},
        {R"({"max_openings": 100000})", "max_openings"},
        {R"({"faults": {}})", "faults"},
        {R"({"faults": [{"status": 1}]})", "faults[0].op"},
        {R"({"faults": [{"op": "MasterOpen"}]})", "faults[0].status"},
        {R"({"faults": [{"op": "MasterFly", "status": 1}]})", "faults[0].op"},
        {R"({"faults": [{"op": "MasterClose", "status": 1}]})", "faults[0].op"},
        {R"({"faults": [{"op": 32, "status": 1}]})", "faults[0].op"},
        {R"({"faults": [{"op": "MasterOpen", "status": 65536}]})", "faults[0].status"},
        {R"({"faults": [{"op": "MasterOpen", "status": 1, "position": 0}]})", "faults[0].position"},
        {R"({"faults": [{"op": "MasterGetSlaveInfo", "status": 1, "offset": 0}]})",
         "faults[0].offset"},
        {R"({"faults": [{"op": "MasterGetState", "status": 1, "state": 2}]})", "faults[0].state"},
        {R"({"faults": [{"op": "MasterRequestState", "status": 1, "state": 3}]})",
         "faults[0].state"},
        {R"({"faults": [{"op": "MasterOpen", "status": 1, "times": -1}]})", "faults[0].times"},
        {R"({"faults": [{"op": "MasterOpen", "status": 1}, {"op": "MasterOpen", "status": 1, "when": 2}]})",
         "faults[1].when"},
    };
    for (const auto& [text, key] : cases) {
        auto d = ReadSimText(text);
        ASSERT_FALSE(d.has_value()) << text;
        EXPECT_NE(d.error().message.find(key), std::string::npos)
            << text << " -> " << d.error().message;
        if (std::string_view(key) != "parse error") {
            EXPECT_NE(d.error().where.find(key), std::string::npos) << text;
        }
    }
}

TEST(SimDescription, ExampleFilesLoad) {
    for (const char* name :
         {"five-slaves.matching.sim.json", "five-slaves.revision-mismatch.sim.json",
          "five-slaves.stops-at-safeop.sim.json"}) {
        auto d = ReadSimFile(std::filesystem::path(EXAMPLES_DIR) / name);
        ASSERT_TRUE(d.has_value()) << name << ": " << d.error().message;
        ASSERT_TRUE(d->slaves) << name;
        EXPECT_EQ(d->slaves->size(), 5u) << name;
    }
    EXPECT_FALSE(ReadSimFile("/nonexistent.json").has_value());
    auto device = ReadSimFile("/dev/zero");
    ASSERT_FALSE(device.has_value());
    EXPECT_NE(device.error().message.find("not a regular file"), std::string::npos)
        << device.error().message;
    EXPECT_EQ(device.error().where, "/dev/zero");
}

}  // namespace
}  // namespace parvane::driver
