#include "eni/number_text.h"

namespace parvane::eni {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::uint32_t> Digits(std::string_view text, unsigned base) {
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool HasPrefix(std::string_view text, char first) {
    return text.size() >= 2 && text[0] == first && (text[1] == 'x' || text[1] == 'X');
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::uint32_t> ParseEniNumber(std::string_view text) {
    text = Trimmed(text);
    if (HasPrefix(text, '#') || HasPrefix(text, '0'))
        return Digits(text.substr(2), 16);
    return Digits(text, 10);
}

std::optional<std::uint32_t> ParseEniNumber32(std::string_view text) {
    text = Trimmed(text);
    if (text.empty() || text.front() != '-')
        return ParseEniNumber(text);
    auto magnitude = Digits(text.substr(1), 10);
    if (!magnitude || *magnitude > 0x80000000u)
        return std::nullopt;
    return static_cast<std::uint32_t>(0u - *magnitude);
}

std::optional<std::uint32_t> ParseHexText(std::string_view text) {
    if (!HasPrefix(text, '0'))
        return std::nullopt;
    return Digits(text.substr(2), 16);
}

}  // namespace parvane::eni
