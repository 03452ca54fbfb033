// Handing the exact command-line text from CreateRtProcess to the started
// program's start-up, which writes it into the program's record.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace parvane::platform::detail {

inline constexpr char kHandoffVariable[] = "RT_NODE_CMDLINE";
// The variable's value is the started process's pid in kHandoffPidDigits
// digits, a colon, then the text: a program that is not on the layer passes
// the variable on, and its own children must not take it for theirs.
inline constexpr std::size_t kHandoffPidDigits = 10;

// "RT_NODE_CMDLINE=0000000000:<text>"; the child writes its pid over the
// zeros at HandoffPidOffset() before it executes the program.
std::string HandoffEntry(std::string_view text);
constexpr std::size_t HandoffPidOffset() {
    return sizeof kHandoffVariable;  // the name and '='
}

// Writes value as exactly `digits` decimal digits; safe between fork and exec.
void PutDigits(char* out, std::size_t digits, unsigned long value);

// The text handed to this process, if the variable is meant for it; the
// variable is removed either way.
std::optional<std::string> TakeHandoff();

}  // namespace parvane::platform::detail
