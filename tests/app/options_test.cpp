#include "app/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/app/command_line.h"
#include "tests/app/option_reset.h"

namespace {

// Parses the words (after a program name) and reads both options back.
struct Parsed {
    std::int32_t result;
    std::string eni;
    std::int32_t pri;
};

Parsed Parse(std::vector<std::string> words) {
    ResetOptionTable();
    CommandLine line(std::move(words));
    Parsed parsed{};
    parsed.result = ParseOptions(line.argc(), line.argv());
    char eni[64] = {};
    GetOptionString("-eni=", "", eni, sizeof eni - 1);
    parsed.eni = eni;
    parsed.pri = GetOptionInt("-pri=", 253);
    return parsed;
}

struct OptionCase {
    std::vector<std::string> words;
    std::string eni;
    std::int32_t pri;
};

const OptionCase kOptionCases[] = {
    {{}, "", 253},
    {{"-eni=net.xml", "-pri=10"}, "net.xml", 10},
    {{"-eni=\"C:\\My Files\\net.xml\""}, "C:\\My Files\\net.xml", 253},
    {{"-eni=\"net.xml"}, "net.xml", 253},    // opening quote only
    {{"-eni=net.xml\""}, "net.xml\"", 253},  // closing quote only: kept
    {{"-eni=\""}, "", 253},                  // a lone quote
    {{"-eni=\"\""}, "", 253},
    {{"-eni=\"\"\""}, "\"", 253},
    {{"-eni=a.xml", "-eni=b.xml"}, "b.xml", 253},  // the later one wins
    {{"-eni=a.xml", "-eni="}, "", 253},
    {{"-pri="}, "", 0},  // a value, but no digits
    {{"-pri=12abc"}, "", 12},
    {{"-pri=5=6"}, "", 5},
    {{"-prix=5"}, "", 253},  // runs on past the name: no match
    {{"-pri= \t42"}, "", 42},
    {{"-pri=-1"}, "", -1},
    {{"-pri=\"7\""}, "", 7},
    {{"-pri=300", "-pri=254"}, "", 254},
    {{"-pri=99999999999"}, "", INT32_MAX},                                   // clamped
    {{"-pri=-99999999999"}, "", INT32_MIN},                                  // clamped
    {{"-ENI=x.xml", "-PRI=5", "abc", "-x=1", "-eni", "-pri", ""}, "", 253},  // case counts
};

TEST(ParseOptions, FillsTheTableFromTheWords) {
    for (const OptionCase& c : kOptionCases) {
        std::string words;
        for (const std::string& w : c.words) {
            words += "[" + w + "]";
        }
        SCOPED_TRACE(words);
        const Parsed parsed = Parse(c.words);
        EXPECT_EQ(parsed.result, 0);
        EXPECT_EQ(parsed.eni, c.eni);
        EXPECT_EQ(parsed.pri, c.pri);
    }
    ResetOptionTable();
}

TEST(ParseOptions, OnlyTheProgramNameLeavesTheTableUntouched) {
    ResetOptionTable();
    char program[] = "parvane";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(ParseOptions(1, argv), 0);
    EXPECT_EQ(ParseOptions(0, argv), 0);
    for (const OptionEntry* entry = OptionTable; entry->name != nullptr; ++entry) {
        EXPECT_EQ(entry->value, nullptr) << entry->name;
    }
}

TEST(ParseOptions, AnEmptyValueIsStoredAsEmptyText) {
    Parse({"-eni="});
    ASSERT_NE(OptionTable[1].value, nullptr);
    EXPECT_STREQ(OptionTable[1].name, "-eni=");
    EXPECT_STREQ(OptionTable[1].value, "");
    ResetOptionTable();
}

// GetOptionString writes only within maxLen bytes.
TEST(GetOptionString, StaysWithinTheGivenLength) {
    Parse({"-eni=abcdefgh"});
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(GetOptionString("-eni=", "", dest, 4), 0);
    EXPECT_EQ(std::string(dest, 8), "abcd####");

    // An option without a value: the default, or zeros for an empty default.
    ResetOptionTable();
    std::memset(dest, '#', sizeof dest);
    GetOptionString("-eni=", "xyz", dest, 2);
    EXPECT_EQ(std::string(dest, 8), "xy######");
    std::memset(dest, '#', sizeof dest);
    GetOptionString("-eni=", "", dest, 3);
    EXPECT_EQ(std::string(dest, 8), std::string(3, '\0') + "#####");

    // No such option: a bounded copy of the default, padded with NULs.
    std::memset(dest, '#', sizeof dest);
    GetOptionString("-nope=", "ab", dest, 5);
    EXPECT_EQ(std::string(dest, 8), std::string("ab\0\0\0###", 8));
    EXPECT_EQ(GetOptionInt("-nope=", 17), 17);
}

}  // namespace
