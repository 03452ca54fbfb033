#include "launcher/driver_path.h"

#include <cstdlib>
#include <cstring>

#include "launcher/launch_report.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

namespace {

constexpr const char kIniFileVariable[] = "ECAT_MASTER_INI_FILE";
constexpr const char kDriverFileName[] = "lomadyn.rta";
constexpr std::size_t kDriverFileNameLength = sizeof(kDriverFileName) - 1;

std::uint32_t PathFailure() {
    return ReportLaunchFailure(kLineDriverPathFailed, kStatusDriverPath);
}

// buffer holds a folder ending in its separator (or the empty text); appends
// the driver's file name if the whole path fits.
std::uint32_t AppendDriverFileName(char* buffer, std::uint32_t bufferSize) {
    std::size_t folderLength = std::strlen(buffer);
    if (folderLength + kDriverFileNameLength >= bufferSize) {
        return PathFailure();
    }
    std::memcpy(buffer + folderLength, kDriverFileName, kDriverFileNameLength + 1);
    return 0;
}

// The INI file's path, cut at its last separator and then after the
// separator before that. A backslash anywhere makes backslash the separator
// of both searches; otherwise the forward slash is.
std::uint32_t PathFromIniFile(const char* iniFile, char* buffer, std::uint32_t bufferSize) {
    std::size_t length = std::strlen(iniFile);
    if (length >= bufferSize) {
        return PathFailure();
    }
    std::memcpy(buffer, iniFile, length + 1);
    char separator = std::strchr(buffer, '\\') != nullptr ? '\\' : '/';
    char* last = std::strrchr(buffer, separator);
    if (last == nullptr) {
        return PathFailure();
    }
    *last = '\0';
    char* parent = std::strrchr(buffer, separator);
    if (parent == nullptr) {
        return PathFailure();
    }
    parent[1] = '\0';
    return AppendDriverFileName(buffer, bufferSize);
}

// The folder of the running program's own executable.
std::uint32_t PathFromOwnProgram(char* buffer, std::uint32_t bufferSize) {
    std::uint32_t length = GetRtModuleFilename(0, buffer, bufferSize - 1);
    if (length == 0) {
        return ReportLaunchFailure(kLineDriverPathFailed, PlatformFailureStatus(kRtErrNotFound));
    }
    if (length >= bufferSize - 1) {
        // The platform may have cut the name to the length it was given.
        return PathFailure();
    }
    buffer[length] = '\0';
    char* slash = std::strrchr(buffer, '/');
    char* backslash = std::strrchr(buffer, '\\');
    char* separator = slash;
    if (backslash != nullptr && (separator == nullptr || backslash > separator)) {
        separator = backslash;
    }
    if (separator != nullptr) {
        separator[1] = '\0';
    } else {
        buffer[0] = '\0';
    }
    return AppendDriverFileName(buffer, bufferSize);
}

}  // namespace

std::uint32_t DeriveDriverPath(char* buffer, std::uint32_t bufferSize) {
    if (bufferSize <= kDriverFileNameLength) {
        return PathFailure();
    }
    const char* iniFile = std::getenv(kIniFileVariable);
    if (iniFile != nullptr) {
        return PathFromIniFile(iniFile, buffer, bufferSize);
    }
    return PathFromOwnProgram(buffer, bufferSize);
}
