// The platform start-up's command-line splitter fed any text: the input up
// to its first NUL is the program name, the rest the command line.
//
// Invariants: the words stay within the start-up's limits; the program name
// is the first word when it fits; no word is empty; words without quote
// characters hold no blank and survive being joined and split again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/cmdline_split.h"

using parvane::platform::detail::JoinArguments;
using parvane::platform::detail::kMaxWords;
using parvane::platform::detail::kMaxWordText;
using parvane::platform::detail::SplitCommandLine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    std::string_view program = input.substr(0, nul);
    std::string_view line =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    const std::vector<std::string> words = SplitCommandLine(program, line);
    FUZZ_CHECK(words.size() <= kMaxWords);
    std::size_t used = 0;
    for (const std::string& word : words) {
        used += word.size() + 1;
    }
    FUZZ_CHECK(used <= kMaxWordText);
    if (program.size() + 1 <= kMaxWordText) {
        FUZZ_CHECK(!words.empty() && words[0] == program);
    } else {
        FUZZ_CHECK(words.empty());
        return 0;
    }

    std::vector<std::string> arguments(words.begin() + 1, words.end());
    bool quoted = false;
    for (const std::string& word : arguments) {
        FUZZ_CHECK(!word.empty());
        if (word.find('"') != std::string::npos) {
            quoted = true;
        } else {
            FUZZ_CHECK(word.find_first_of(" \t") == std::string::npos);
        }
    }
    if (!quoted) {
        const std::vector<std::string> again = SplitCommandLine(program, JoinArguments(arguments));
        FUZZ_CHECK(std::vector<std::string>(again.begin() + 1, again.end()) == arguments);
    }
    return 0;
}
