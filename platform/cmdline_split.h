// The start-up's command-line rules: splitting a command line into words and,
// for a program started from a shell, joining its arguments back into one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace parvane::platform::detail {

// Room the start-up has for the words: word pointers (program name included)
// and bytes of text (each word with its terminating NUL).
inline constexpr std::size_t kMaxWords = 100;
inline constexpr std::size_t kMaxWordText = 4096;

// Splits commandLine into words behind programName (the first word). Runs of
// blanks and tabs separate words; a double quote starts or ends a quoted run
// in which blanks and tabs do not separate; the quote characters stay in the
// word. Words beyond kMaxWords, and from the first word whose text no longer
// fits into kMaxWordText on, are dropped whole.
std::vector<std::string> SplitCommandLine(std::string_view programName,
                                          std::string_view commandLine);

// The command line of a program started from a shell: its arguments (without
// the program name) joined by single blanks, an argument holding a blank or a
// tab wrapped in double quotes.
std::string JoinArguments(const std::vector<std::string>& arguments);

}  // namespace parvane::platform::detail
