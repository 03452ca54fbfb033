#include "platform/name_codec.h"

namespace parvane::platform::detail {
namespace {

bool NeedsEscape(unsigned char c, bool first) {
    return c < 0x20 || c >= 0x7F || c == '/' || c == '%' || (first && c == '.');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ValidName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxNameLength &&
           name.find('\0') == std::string_view::npos;
}

std::string EncodeName(std::string_view name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (NeedsEscape(c, i == 0)) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> DecodeName(std::string_view fileName) {
    std::string out;
    for (std::size_t i = 0; i < fileName.size(); ++i) {
        if (fileName[i] != '%') {
            if (NeedsEscape(static_cast<unsigned char>(fileName[i]), i == 0))
                return std::nullopt;
            out += fileName[i];
            continue;
        }
        if (i + 2 >= fileName.size())
            return std::nullopt;
        int high = HexValue(fileName[i + 1]);
        int low = HexValue(fileName[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        auto c = static_cast<unsigned char>(high * 16 + low);
        // Only escaped bytes are accepted in escaped form: keeps the mapping 1:1.
        if (!NeedsEscape(c, out.empty()))
            return std::nullopt;
        out += static_cast<char>(c);
        i += 2;
    }
    if (!ValidName(out))
        return std::nullopt;
    return out;
}

}  // namespace parvane::platform::detail
