// What the ENI readers give, as text to compare: every field of the model,
// one line per element (shared texts by their contents, not their copies);
// and the two ways of reading a text that must agree: as it streams in, a
// few bytes at a time at first, and whole.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "eni/eni_reader.h"

namespace parvane::eni {

std::string ModelText(const EniContents& contents);

// The stream reader's reading of `text`, fed `firstChunk` bytes at a time
// over its first kilobyte and then in larger pieces.
std::optional<EniContents> StreamText(std::string_view text, std::size_t firstChunk);

// The whole-document reader's reading of `text`: a document type declaration
// after its XML declaration makes the stream give the text up.
std::expected<EniContents, Error> ReadWholeDocument(std::string_view text);

}  // namespace parvane::eni
