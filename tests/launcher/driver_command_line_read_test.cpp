#include "launcher/driver_command_line_read.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/driver_command_line_read.h"
#include "tests/launcher/fake_platform.h"

namespace {

constexpr std::uint32_t kSize = 4096;

std::vector<unsigned char> WithoutNul(std::vector<unsigned char> bytes) {
    bytes.pop_back();
    return bytes;
}

struct ReadCase {
    const char* name;
    std::vector<unsigned char> record;
    std::int32_t result;
    std::string text;  // expected buffer contents when the result is 0
};

class ReadDriverCommandLineTest : public testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        driver = fake::AddProcess("driver", "PRCS_LOMADYN");
    }
    std::int32_t Read(std::string* text) {
        std::vector<char> buffer(kSize, '\0');
        std::int32_t result = ReadDriverCommandLine(driver, buffer.data(), kSize);
        *text = std::string(buffer.data());
        return result;
    }
    RTHANDLE driver = BAD_RTHANDLE;
};

TEST_F(ReadDriverCommandLineTest, CopiesAWellFormedRecordAndRefusesAMalformedOne) {
    const std::string fits(4095, 'x');
    const ReadCase cases[] = {
        {"L=0", fake::Record(0, "-eni=a.xml -v 3"), 0, "-eni=a.xml -v 3"},
        {"L=127", fake::Record(127, "-eni=\"a b.xml\" -sim=s.json"), 0,
         "-eni=\"a b.xml\" -sim=s.json"},
        {"empty command line", fake::Record(5, ""), 0, ""},
        {"text of 4095 characters", fake::Record(3, fits), 0, fits},
        {"L=0x80", fake::Record(0x80, "-v"), -2, ""},
        {"L=0xFF", fake::Record(0xFF, "-v"), -2, ""},
        {"no NUL inside the object", WithoutNul(fake::Record(2, "-eni=a.xml")), -2, ""},
        {"text of 4096 characters", fake::Record(0, fits + "x"), -2, ""},
        {"object ends inside the leading field", {10, 'a', 'b'}, -2, ""},
        {"object ends before the text", {1, 'a', 0}, -2, ""},
        {"empty object", {}, -2, ""},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Catalog(driver, "R?H$C$NAME", fake::AddMemory(c.record));
        std::string text;
        EXPECT_EQ(Read(&text), c.result);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(fake::OpenMappings(), 0);
    }
}

// The status that the launcher reports: the platform's error when a service
// failed, the record's own fault otherwise, never an error left over from an
// earlier call.
TEST_F(ReadDriverCommandLineTest, TellsWhyARecordCannotBeRead) {
    std::vector<char> buffer(kSize, '\0');
    std::uint32_t status = 0;
    fake::script().failureError = 0x0002;
    EXPECT_EQ(ReadDriverCommandLineWithStatus(driver, buffer.data(), kSize, &status), -2);
    EXPECT_EQ(status, 0x0002u);

    fake::Catalog(driver, "R?H$C$NAME", fake::AddMemory(fake::Record(0x80, "-v")));
    fake::SetLastError(0x0009);
    EXPECT_EQ(ReadDriverCommandLineWithStatus(driver, buffer.data(), kSize, &status), -2);
    EXPECT_EQ(status, 0x000Cu);

    RTHANDLE stale = fake::AddMemory(fake::Record(0, "-v"));
    fake::Catalog(driver, "R?H$C$NAME", stale);
    fake::MakeStale(stale);
    EXPECT_EQ(ReadDriverCommandLine(driver, buffer.data(), kSize), -1);
    EXPECT_EQ(ReadDriverCommandLineWithStatus(driver, buffer.data(), kSize, &status), -1);
    EXPECT_EQ(status, 0x0003u);

    fake::Catalog(driver, "R?H$C$NAME", fake::AddMemory(fake::Record(0, "-v")));
    fake::script().mapFails = true;
    fake::script().failureError = 0x0005;
    EXPECT_EQ(ReadDriverCommandLine(driver, buffer.data(), kSize), -2);
    EXPECT_EQ(ReadDriverCommandLineWithStatus(driver, buffer.data(), kSize, &status), -2);
    EXPECT_EQ(status, 0x0005u);
    EXPECT_EQ(std::string(buffer.data()), "");
    EXPECT_EQ(fake::OpenMappings(), 0);
}

}  // namespace
