#include "driver/master_ini.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace parvane::driver {
namespace {

// Far more than any master INI holds; a larger file is not one.
constexpr std::uintmax_t kMaxIniBytes = 64 * 1024;

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool SameName(std::string_view a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) &&
           ::strncasecmp(a.data(), b, a.size()) == 0;
}

Error LineError(unsigned line, const std::string& why) {
    return {"line " + std::to_string(line) + ": " + why, "line " + std::to_string(line)};
}

}  // namespace

std::filesystem::path MasterIniPath() {
    if (const char* named = std::getenv("ECAT_MASTER_INI_FILE"); named != nullptr && *named != 0)
        return named;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return "config/master.ini";
    return self.parent_path() / "config" / "master.ini";
}

std::expected<std::optional<std::string>, Error> ReadMasterAdapterText(std::string_view text) {
    std::optional<std::string> adapter;
    unsigned adapterLine = 0;
    bool inMaster = false;
    unsigned number = 0;
    for (std::size_t at = 0; at <= text.size();) {
        ++number;
        auto end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = Trimmed(line);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.find('\0') != std::string_view::npos)
            return std::unexpected(LineError(number, "a NUL byte"));
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3 ||
                line.substr(1, line.size() - 2).find_first_of("[]") != std::string_view::npos)
                return std::unexpected(LineError(number, "a section needs [Name]"));
            inMaster = SameName(Trimmed(line.substr(1, line.size() - 2)), "Master");
        } else {
            const auto equals = line.find('=');
            if (equals == std::string_view::npos)
                return std::unexpected(
                    LineError(number, "neither a [section], a key=value line nor a comment"));
            const std::string_view key = Trimmed(line.substr(0, equals));
            std::string_view value = Trimmed(line.substr(equals + 1));
            if (key.empty())
                return std::unexpected(LineError(number, "a value without a key"));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (inMaster && SameName(key, "Adapter")) {
                if (adapter) {
                    return std::unexpected(LineError(
                        number,
                        "Adapter given again (first on line " + std::to_string(adapterLine) + ")"));
                }
                adapter = std::string(value);
                adapterLine = number;
            }
        }
    }
    if (adapter && adapter->empty())
        return std::optional<std::string>{};
    return adapter;
}

std::expected<std::optional<std::string>, Error> ReadMasterAdapter(
    const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        return std::optional<std::string>{};
    if (!std::filesystem::is_regular_file(status))
        return std::unexpected(Error{"not a regular file", path.string()});
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaxIniBytes)
        return std::unexpected(
            Error{"larger than 64 KiB, or its size cannot be read", path.string()});
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::unexpected(Error{"cannot be read", path.string()});
    std::ostringstream text;
    text << in.rdbuf();
    return ReadMasterAdapterText(text.str());
}

}  // namespace parvane::driver
