#include "eni/number_text.h"

#include <gtest/gtest.h>

namespace parvane::eni {
namespace {

struct NumberCase {
    const char* text;
    std::optional<std::uint32_t> eni;  // what ParseEniNumber gives
};

TEST(EniNumber, AcceptsTheStylesThatConfiguratorsWrite) {
    const NumberCase cases[] = {
        {"0", 0u},
        {"2", 2u},
        {"0002", 2u},
        {"4294967295", 0xFFFFFFFFu},
        {"#x044c2c52", 0x044C2C52u},
        {"#X044C2C52", 0x044C2C52u},
        {"0x10055aa", 0x010055AAu},
        {"0XFFFFFFFF", 0xFFFFFFFFu},
        {"#x00000000000002", 2u},
        {"  \t\r\n 12 \n", 12u},
        {" #x1a ", 0x1Au},
        {"0x80000000", 0x80000000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseEniNumber(c.text), c.eni) << c.text;
}

TEST(EniNumber, RefusesGarbageAndOverflow) {
    const char* bad[] = {"",    "  ",    "4294967296", "0x100000000", "-1",  "+1",
                         "0x",  "#x",    "12a",        "0x12g",       "1 2", "x12",
                         "#12", "0b101", "1e3",        "0x-1"};
    for (const char* text : bad)
        EXPECT_EQ(ParseEniNumber(text), std::nullopt) << text;
}

TEST(EniNumber, ThirtyTwoBitFieldsTakeSignedDecimals) {
    const NumberCase cases[] = {
        {"-37031252", 0xFDCAF2ACu},  // as an exporter writes a revision number
        {" -1 ", 0xFFFFFFFFu},       {"-2147483648", 0x80000000u}, {"-0", 0u},
        {"#xFDCAF2AC", 0xFDCAF2ACu}, {"4294967295", 0xFFFFFFFFu},  {"-2147483649", std::nullopt},
        {"-0x1", std::nullopt},      {"-#x1", std::nullopt},       {"--1", std::nullopt},
        {"- 1", std::nullopt},       {"-", std::nullopt},          {"+1", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseEniNumber32(c.text), c.eni) << c.text;
}

TEST(HexText, OnlyTheZeroXForm) {
    EXPECT_EQ(ParseHexText("0x1006"), 0x1006u);
    EXPECT_EQ(ParseHexText("0X00110000"), 0x00110000u);
    EXPECT_EQ(ParseHexText("1006"), std::nullopt);
    EXPECT_EQ(ParseHexText("#x1006"), std::nullopt);
    EXPECT_EQ(ParseHexText(" 0x1"), std::nullopt);
    EXPECT_EQ(ParseHexText("0x1FFFFFFFF"), std::nullopt);
}

}  // namespace
}  // namespace parvane::eni
