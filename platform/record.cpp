#include "platform/record.h"

#include <algorithm>

namespace parvane::platform::detail {

std::string BuildRecord(std::string_view programPath, std::string_view commandLine) {
    std::string_view name = programPath;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    name = name.substr(0, kMaxRecordProgramName);
    std::string record;
    record += static_cast<char>(name.size());
    record += name;
    record += '\0';
    record += commandLine;
    record += '\0';
    return record;
}

std::optional<std::string> RecordCommandLine(std::string_view record) {
    if (record.empty())
        return std::nullopt;
    std::size_t length = static_cast<unsigned char>(record[0]);
    if (length > kMaxRecordProgramName || record.size() < length + 2)
        return std::nullopt;
    std::string_view text = record.substr(length + 2);
    auto end = text.find('\0');
    if (end == std::string_view::npos)
        return std::nullopt;
    return std::string(text.substr(0, end));
}

}  // namespace parvane::platform::detail
