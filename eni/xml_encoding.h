// Prepares an XML file's bytes for the parser. pugixml recognises the
// "iso-8859-1" and "latin1" labels only; configurators also write variants
// such as "ISO8859-1", "ISO_8859-1" or "windows-1252". A file declared in any
// of these single-byte encodings is converted to UTF-8 here; everything else
// is left to the parser's own detection (BOM, UTF-16/32, UTF-8).
#pragma once

#include <cstddef>
#include <pugixml.hpp>
#include <string_view>
#include <vector>

namespace parvane::eni {

struct XmlInput {
    std::vector<char> bytes;
    pugi::xml_encoding encoding = pugi::encoding_auto;
};

XmlInput PrepareXml(std::vector<char> bytes);

// How many bytes at the start of a file are searched for its encoding.
inline constexpr std::size_t kEncodingScanBytes = 256;

// True for the labels of the single-byte encodings that PrepareXml converts.
bool IsSingleByteEncoding(std::string_view label);

// The encoding label of the XML declaration at the start of the text, or
// empty when there is none.
std::string_view DeclaredEncoding(std::string_view text);

}  // namespace parvane::eni
