// The words of the command line beyond the option table's work: the help and
// version words, answered before anything is touched, and the words that the
// table ignores, each told on stderr so that a mistyped option never passes
// unnoticed.
#pragma once

#include <cstdint>

// Prints the usage (for "-h", "--help", "-?") or "parvane <version>" (for
// "--version") to stdout when one of these words is given; true then, and
// the run ends with status 0.
bool AnswerInfoWords(std::int32_t argc, char** argv, const char* versionText);

// One stderr line per word that no option takes, and for an option given
// without a value where that makes it count for nothing: "ignored: WORD",
// with "(did you mean -eni=...?)" when the word is an option's name written
// with other letter case or dashes. Returns how many words were told.
std::uint32_t ReportIgnoredWords(std::int32_t argc, char** argv);
