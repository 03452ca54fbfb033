// Catalog names are byte strings; each maps 1:1 onto a file name in a
// directory folder.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace parvane::platform::detail {

// Longest catalog name accepted, in bytes.
inline constexpr std::size_t kMaxNameLength = 63;

// True for a name of 1 to kMaxNameLength bytes without a NUL.
bool ValidName(std::string_view name);

// File name for a catalog name: bytes that are not safe in a file name ('/',
// '%', control bytes, bytes >= 0x7F, a leading '.') are written as %XX. The
// result never starts with '.', so the layer's own temporary files (".tmp-*")
// cannot collide with an entry.
std::string EncodeName(std::string_view name);

// The inverse of EncodeName; nullopt for a file name EncodeName cannot give.
std::optional<std::string> DecodeName(std::string_view fileName);

}  // namespace parvane::platform::detail
