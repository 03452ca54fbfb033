// Catalog entries and memory objects as files: written under a temporary
// name and renamed into place, so a reader never sees a half-written one.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/objects.h"

namespace parvane::platform::detail {

// Writes content to a new temporary file (".tmp-*") in folder; returns its
// path, or an empty path with errno set.
std::filesystem::path WriteTempFile(const std::filesystem::path& folder, std::string_view content);

// Renames from to to, failing with EEXIST when to exists.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The whole content of a small file (at most 4 KiB), nullopt when unreadable.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path);

// The object an entry names; nullopt when the entry is missing or unreadable.
std::optional<ObjectRef> ReadEntry(const std::filesystem::path& entry);

// Removes entry when pred holds for what it names (nullopt: content not
// understood). Removes exactly the file that was examined: an entry put in
// its place meanwhile by someone else is left standing.
bool RemoveEntryIf(const std::filesystem::path& entry,
                   const std::function<bool(const std::optional<ObjectRef>&)>& pred);

}  // namespace parvane::platform::detail
