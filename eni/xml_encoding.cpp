#include "eni/xml_encoding.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace parvane::eni {
namespace {}  // namespace

bool IsSingleByteEncoding(std::string_view label) {
    std::string folded;
    for (char c : label) {
        if (c == '-' || c == '_' || c == ' ')
            continue;
        folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded == "iso88591" || folded == "latin1" || folded == "l1" || folded == "cp819" ||
           folded == "ibm819" || folded == "windows1252" || folded == "cp1252" ||
           folded == "iso885915" || folded == "latin9";
}

namespace {

std::vector<char> Latin1ToUtf8(const std::vector<char>& bytes) {
    std::vector<char> utf8;
    utf8.reserve(bytes.size() + bytes.size() / 8);
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return utf8;
}

}  // namespace

std::string_view DeclaredEncoding(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    if (text.substr(0, 5) != "<?xml")
        return {};
    std::string_view declaration = text.substr(0, text.find("?>"));
    auto key = declaration.find("encoding");
    if (key == std::string_view::npos)
        return {};
    auto quote = declaration.find_first_of("\"'", key);
    if (quote == std::string_view::npos)
        return {};
    auto end = declaration.find(declaration[quote], quote + 1);
    if (end == std::string_view::npos)
        return {};
    return declaration.substr(quote + 1, end - quote - 1);
}

XmlInput PrepareXml(std::vector<char> bytes) {
    XmlInput input;
    std::string_view label =
        DeclaredEncoding({bytes.data(), std::min(bytes.size(), kEncodingScanBytes)});
    if (!label.empty() && IsSingleByteEncoding(label)) {
        const bool highBytes = std::any_of(bytes.begin(), bytes.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x80;
        });
        // Plain ASCII reads the same in UTF-8: no conversion needed.
        input.bytes = highBytes ? Latin1ToUtf8(bytes) : std::move(bytes);
        input.encoding = pugi::encoding_utf8;
    } else {
        input.bytes = std::move(bytes);
    }
    return input;
}

}  // namespace parvane::eni
