#include "platform/name_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using parvane::platform::detail::DecodeName;
using parvane::platform::detail::EncodeName;
using parvane::platform::detail::ValidName;

TEST(NameCodec, MapsEveryNameOneToOneOntoAFileName) {
    const struct {
        std::string name;
        std::string file;
    } cases[] = {
        {"ZU?END_INIT", "ZU?END_INIT"},
        {"R?H$C$NAME", "R?H$C$NAME"},
        {"PRCS_LOMADYN", "PRCS_LOMADYN"},
        {"a/b", "a%2Fb"},
        {"50%", "50%25"},
        {".hidden", "%2Ehidden"},
        {"..", "%2E."},
        {"a.b", "a.b"},
        {"with blank", "with blank"},
        {std::string("\x01x\x7F", 3), "%01x%7F"},
        {"\xC3\xA9", "%C3%A9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeName(c.name), c.file);
        EXPECT_EQ(DecodeName(c.file), c.name) << c.file;
    }
}

TEST(NameCodec, RejectsFileNamesThatNoNameGives) {
    for (const char* file : {".tmp-12-3", "a%2", "a%zz", "a%41", "a%2f", "a/b", "", "%00"})
        EXPECT_FALSE(DecodeName(file).has_value()) << file;
}

TEST(NameCodec, AcceptsNamesOfOneTo63Bytes) {
    EXPECT_FALSE(ValidName(""));
    EXPECT_TRUE(ValidName("x"));
    EXPECT_TRUE(ValidName(std::string(63, 'n')));
    EXPECT_FALSE(ValidName(std::string(64, 'n')));
    // The longest name, fully escaped, still fits a file name.
    EXPECT_LT(EncodeName(std::string(63, '/')).size(), 256u);
}

}  // namespace
