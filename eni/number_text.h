// Unsigned 32-bit numbers as ENI files and network descriptions write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace parvane::eni {

// Decimal, or hexadecimal after "#x", "#X", "0x" or "0X"; white space around
// the number is allowed. Empty when the text is not such a number or does not
// fit in 32 bits.
std::optional<std::uint32_t> ParseEniNumber(std::string_view text);

// The same for a 32-bit field, which some exporters write as a signed
// number: a negative decimal down to -2147483648 is its two's complement
// ("-37031252" is 0xFDCAF2AC). A minus before a hexadecimal number is refused.
std::optional<std::uint32_t> ParseEniNumber32(std::string_view text);

// Hexadecimal after "0x" or "0X" only, no white space.
std::optional<std::uint32_t> ParseHexText(std::string_view text);

}  // namespace parvane::eni
