#include "platform/record.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/priority.h"

namespace {

using parvane::platform::detail::BuildRecord;
using parvane::platform::detail::RecordCommandLine;

TEST(Record, HoldsLengthProgramNameAByteAndTheCommandLine) {
    std::string record = BuildRecord("/opt/master/lomadyn.rta", "-eni=\"a b.xml\" -v 3");
    EXPECT_EQ(record, std::string("\x0Blomadyn.rta\0-eni=\"a b.xml\" -v 3\0", 33));
    EXPECT_EQ(RecordCommandLine(record), "-eni=\"a b.xml\" -v 3");
}

TEST(Record, CutsTheProgramNameTo127Bytes) {
    std::string record = BuildRecord("/x/" + std::string(200, 'n'), "cmd");
    EXPECT_EQ(static_cast<unsigned char>(record[0]), 127u);
    EXPECT_EQ(record.size(), 1u + 127u + 1u + 4u);
    EXPECT_EQ(RecordCommandLine(record), "cmd");
}

TEST(Record, WithAnEmptyProgramNameTheTextStartsAtOffsetTwo) {
    std::string record = BuildRecord("folder/", "");
    EXPECT_EQ(record, std::string("\0\0\0", 3));
    EXPECT_EQ(RecordCommandLine(record), "");
}

TEST(Record, ReadingNeverLeavesTheRecord) {
    EXPECT_FALSE(RecordCommandLine(""));
    EXPECT_FALSE(RecordCommandLine(std::string("\x80rest\0\0", 7)));  // L above 127
    EXPECT_FALSE(
        RecordCommandLine(std::string("\x05"
                                      "ab",
                                      3)));                            // shorter than L
    EXPECT_FALSE(RecordCommandLine(std::string("\x01p\0no end", 9)));  // no NUL
}

TEST(Priority, MapsTheScaleOntoNiceValues) {
    const struct { int priority, nice; } cases[] = {{0, -20}, {128, -1}, {253, 18}, {255, 19}};
    for (const auto& c : cases)
        EXPECT_EQ(parvane::platform::detail::NiceForPriority(static_cast<std::uint8_t>(c.priority)),
                  c.nice)
            << c.priority;
}

}  // namespace
