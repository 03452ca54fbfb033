// Reads an ENI as its bytes stream in: the elements under Config one at a
// time, each parsed on its own and read into the model at once, so that the
// document is never held whole (a 28 MB file needs a window of a megabyte
// and the nodes of one slave, instead of the file and all its nodes).
//
// It gives nothing for a file that it cannot be sure to read exactly as the
// whole-document reader does: a refusal or a note, a document type
// declaration, UTF-16 or UTF-32, text or markup it does not expect between
// the elements, a start tag it cannot check. The caller then reads the file
// whole, which says what is wrong and where.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>

#include "eni/eni_reader.h"

namespace parvane::eni {

// Fills `into` with up to `size` further bytes: how many (0 at the end), or
// nothing when the bytes cannot be read.
using ByteSource = std::function<std::optional<std::size_t>(char* into, std::size_t size)>;

// `sizeHint`: the input's length as far as it is known.
std::optional<EniContents> StreamEni(std::size_t sizeHint, const ByteSource& source);
// The same for a regular file; nothing also when it cannot be opened.
std::optional<EniContents> StreamEniFile(const std::filesystem::path& path);

}  // namespace parvane::eni
