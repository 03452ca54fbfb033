// The command-line record "R?H$C$NAME" that every process of the node keeps
// in its own directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parvane::platform::detail {

inline constexpr char kRecordName[] = "R?H$C$NAME";
inline constexpr std::size_t kMaxRecordProgramName = 127;

// Byte L (0..127), L bytes of the program's file name (its last path part,
// cut to 127 bytes), one byte 0, then the command line and a NUL.
std::string BuildRecord(std::string_view programPath, std::string_view commandLine);

// The command line held by a record; nullopt when the record is malformed
// (L above 127, or no NUL inside the record). Never reads outside record.
std::optional<std::string> RecordCommandLine(std::string_view record);

}  // namespace parvane::platform::detail
