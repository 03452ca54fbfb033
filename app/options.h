// The option table: every option the program knows, filled from the command
// line by ParseOptions and read back with the two getters.
//
// Option names end in "=" and are matched with regard to letter case ("-ENI="
// is not "-eni="); the parser and the getters compare the same way.
#pragma once

#include <cstdint>

struct OptionEntry {
    const char* name;  // the option's prefix, "=" included; null ends the table
    char* value;       // heap text behind the prefix in the last match, or null
};

// "-pri=", "-eni=", "-json=", "-junit=", then the end entry.
extern OptionEntry OptionTable[];

// Fills the table from argv[1..argc-1]; argv[0] is never looked at. A value
// between double quotes loses them. 0 on success, 1 when a value cannot be
// allocated (the matching entry is then left without a value).
std::int32_t ParseOptions(std::int32_t argc, char** argv);

// Copies the option's value (or defaultText when it has none) into dest,
// writing only within the first maxLen bytes; a text of maxLen characters or
// more is left without a terminator, so dest must be zero-filled with room for
// maxLen + 1 bytes. Always 0.
std::int32_t GetOptionString(const char* name, const char* defaultText, char* dest,
                             std::uint32_t maxLen);

// The option's value read as a decimal integer like atoi (leading blanks, an
// optional sign, digits up to the first non-digit; no digits gives 0). A value
// beyond the 32-bit range is clamped to INT32_MIN or INT32_MAX. defaultValue
// when the option has no value.
std::int32_t GetOptionInt(const char* name, std::int32_t defaultValue);
