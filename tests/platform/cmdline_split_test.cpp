#include "platform/cmdline_split.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;
using parvane::platform::detail::JoinArguments;
using parvane::platform::detail::SplitCommandLine;

struct SplitCase {
    const char* line;
    Words words;  // after the program name
};

TEST(SplitCommandLine, FollowsTheStartUpRules) {
    const SplitCase cases[] = {
        {"", {}},
        {"   \t  ", {}},
        {"-v 3", {"-v", "3"}},
        {"  a \t\t b  ", {"a", "b"}},
        {"-eni=\"C:\\My Dir\\net.xml\" -v", {"-eni=\"C:\\My Dir\\net.xml\"", "-v"}},
        {"a\"b c\"d e", {"a\"b c\"d", "e"}},
        {"\"a\tb\" c", {"\"a\tb\"", "c"}},
        {"\"\"", {"\"\""}},
        {"x \"unclosed  run", {"x", "\"unclosed  run"}},
        {"one\ntwo", {"one\ntwo"}},  // only blanks and tabs separate
    };
    for (const auto& c : cases) {
        Words expected{"/bin/prog"};
        expected.insert(expected.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(SplitCommandLine("/bin/prog", c.line), expected) << "line: " << c.line;
    }
}

TEST(SplitCommandLine, KeepsAtMostOneHundredWordsWithTheProgramName) {
    std::string line;
    for (int i = 0; i < 150; ++i)
        line += "w" + std::to_string(i) + " ";
    Words words = SplitCommandLine("p", line);
    ASSERT_EQ(words.size(), 100u);
    EXPECT_EQ(words[0], "p");
    EXPECT_EQ(words[99], "w98");
}

TEST(SplitCommandLine, DropsEverythingFromTheFirstWordBeyond4096Bytes) {
    // "p" takes 2 bytes with its NUL, each long word 100: 40 of them fit
    // (4002 bytes), the 41st does not, and the short word behind it is
    // dropped as well.
    std::string line;
    for (int i = 0; i < 40; ++i)
        line += std::string(99, 'x') + " ";
    line += std::string(99, 'y') + " z";
    Words words = SplitCommandLine("p", line);
    ASSERT_EQ(words.size(), 41u);
    EXPECT_EQ(words.back(), std::string(99, 'x'));
    std::size_t bytes =
        std::accumulate(words.begin(), words.end(), std::size_t{0},
                        [](std::size_t sum, const std::string& w) { return sum + w.size() + 1; });
    EXPECT_LE(bytes, parvane::platform::detail::kMaxWordText);
}

TEST(SplitCommandLine, AcceptsAWordThatFillsTheTextExactly) {
    EXPECT_EQ(SplitCommandLine("p", std::string(4093, 'a')).size(), 2u);
    EXPECT_EQ(SplitCommandLine("p", std::string(4094, 'a')).size(), 1u);
}

TEST(JoinArguments, JoinsWithBlanksAndQuotesArgumentsHoldingBlanks) {
    EXPECT_EQ(JoinArguments({}), "");
    EXPECT_EQ(JoinArguments({"-eni=a.xml", "-v", "3"}), "-eni=a.xml -v 3");
    EXPECT_EQ(JoinArguments({"-eni=My Dir/a.xml", "x\ty", "z"}),
              "\"-eni=My Dir/a.xml\" \"x\ty\" z");
    EXPECT_EQ(JoinArguments({"", "x"}), " x");
}

TEST(SplitCommandLine, RandomLinesStayWithinTheLimitsAndLoseNoNonBlankText) {
    // Deterministic pseudo-random lines of blanks, tabs, quotes and letters.
    unsigned state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u, (state >> 16) & 0x7FFF; };
    const char alphabet[] = "  \t\"ab";
    for (int round = 0; round < 2000; ++round) {
        std::string line(next() % 300, ' ');
        for (auto& c : line)
            c = alphabet[next() % (sizeof alphabet - 1)];
        Words words = SplitCommandLine("prog", line);
        ASSERT_LE(words.size(), parvane::platform::detail::kMaxWords);
        std::string kept, given;
        for (std::size_t i = 1; i < words.size(); ++i) {
            EXPECT_FALSE(words[i].empty());
            for (char c : words[i])
                if (c != ' ' && c != '\t')
                    kept += c;
        }
        for (char c : line)
            if (c != ' ' && c != '\t')
                given += c;
        EXPECT_EQ(kept, given) << "line: " << line;
    }
}

}  // namespace
