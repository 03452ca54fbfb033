#include "app/command_words.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/app/command_line.h"

namespace {

struct Told {
    bool answered;
    std::string out;
    std::string err;
};

Told Words(std::vector<std::string> words) {
    CommandLine line(std::move(words));
    Told told{};
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    told.answered = AnswerInfoWords(line.argc(), line.argv(), "1.0.0.2");
    if (!told.answered) {
        ReportIgnoredWords(line.argc(), line.argv());
    }
    std::fflush(stdout);
    told.err = testing::internal::GetCapturedStderr();
    told.out = testing::internal::GetCapturedStdout();
    return told;
}

TEST(CommandWords, IgnoredWordsAndTheirHints) {
    const struct {
        std::vector<std::string> words;
        std::string err;
    } cases[] = {
        {{"-eni=a.xml", "-pri=3", "-json=r.json", "-junit=r.xml"}, ""},
        {{"-pri="}, ""},  // an empty priority is priority 0, not ignored
        {{"-eni="}, "ignored: -eni= (did you mean -eni=...?)\n"},
        {{"-junit="}, "ignored: -junit= (did you mean -junit=...?)\n"},
        {{"-eni", "B.xml"}, "ignored: -eni (did you mean -eni=...?)\nignored: B.xml\n"},
        {{"--eni=B.xml"}, "ignored: --eni=B.xml (did you mean -eni=...?)\n"},
        {{"-ENI=B.xml"}, "ignored: -ENI=B.xml (did you mean -eni=...?)\n"},
        {{"---Pri=4"}, "ignored: ---Pri=4 (did you mean -pri=...?)\n"},
        {{"eni=B.xml"}, "ignored: eni=B.xml (did you mean -eni=...?)\n"},
        {{"--JSON"}, "ignored: --JSON (did you mean -json=...?)\n"},
        // Not near enough: another name, a longer name, an empty word.
        {{"-enix=B.xml", "-eniiiiiiiiii", "-x=1", ""},
         "ignored: -enix=B.xml\nignored: -eniiiiiiiiii\nignored: -x=1\nignored: \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words[0]);
        const Told told = Words(c.words);
        EXPECT_FALSE(told.answered);
        EXPECT_EQ(told.out, "");
        EXPECT_EQ(told.err, c.err);
    }
}

TEST(CommandWords, HelpAndVersionAreAnsweredOnStdout) {
    const struct {
        std::vector<std::string> words;
        std::string begins;
    } cases[] = {
        {{"-h"}, "Usage: parvane [-eni=PATH] [-pri=N] [-json=FILE] [-junit=FILE]\n"},
        {{"-eni=a.xml", "--help"}, "Usage: parvane "},
        {{"-?"}, "Usage: parvane "},
        {{"--version"}, "parvane 1.0.0.2\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        const Told told = Words(c.words);
        EXPECT_TRUE(told.answered);
        EXPECT_EQ(told.out.rfind(c.begins, 0), 0u) << told.out;
        EXPECT_EQ(told.err, "");
    }
    EXPECT_EQ(Words({"--version"}).out, "parvane 1.0.0.2\n");
    // Spelled otherwise, they are ordinary words.
    EXPECT_FALSE(Words({"-help", "--HELP", "-version"}).answered);
}

}  // namespace
