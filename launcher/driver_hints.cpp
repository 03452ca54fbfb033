#include "launcher/driver_hints.h"

#include <cstdio>
#include <cstring>

#include "platform/node_run.h"

namespace {

constexpr std::uint32_t kPathBufferSize = 4096;
constexpr char kEniOption[] = "-eni=";
constexpr std::uint32_t kEniOptionLength = sizeof kEniOption - 1;

RTHANDLE usedDriver = BAD_RTHANDLE;
char driverEni[kPathBufferSize];

// Copies count bytes of text into driverEni, cut to the buffer; a value
// between double quotes loses them, as the driver reads it.
void KeepEni(const char* text, std::uint32_t count) {
    if (count > 0 && text[0] == '"') {
        ++text;
        --count;
        if (count > 0 && text[count - 1] == '"') {
            --count;
        }
    }
    if (count > kPathBufferSize - 1) {
        count = kPathBufferSize - 1;
    }
    std::memcpy(driverEni, text, count);
    driverEni[count] = '\0';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

RTHANDLE UsedDriver() {
    return usedDriver;
}

void NoteUsedDriver(RTHANDLE driver) {
    usedDriver = driver;
}

const char* DriverEniPath() {
    return driverEni;
}

void NoteDriverEniArgument(const char* eniArgument) {
    driverEni[0] = '\0';
    if (eniArgument == nullptr || std::strncmp(eniArgument, kEniOption, kEniOptionLength) != 0) {
        return;
    }
    // The launcher hands the path over without quotes.
    const char* path = eniArgument + kEniOptionLength;
    std::uint32_t length = static_cast<std::uint32_t>(std::strlen(path));
    if (length > kPathBufferSize - 1) {
        length = kPathBufferSize - 1;
    }
    std::memcpy(driverEni, path, length);
    driverEni[length] = '\0';
}

void NoteDriverEniFromCommandLine(const char* commandLine) {
    driverEni[0] = '\0';
    if (commandLine == nullptr) {
        return;
    }
    // Words are runs of non-blanks; a double quote starts or ends a run in
    // which blanks do not separate.
    const char* p = commandLine;
    while (*p != '\0') {
        while (IsBlank(*p)) {
            ++p;
        }
        const char* word = p;
        bool quoted = false;
        while (*p != '\0' && (quoted || !IsBlank(*p))) {
            if (*p == '"') {
                quoted = !quoted;
            }
            ++p;
        }
        const auto length = static_cast<std::uint32_t>(p - word);
        if (length >= kEniOptionLength && std::strncmp(word, kEniOption, kEniOptionLength) == 0) {
            KeepEni(word + kEniOptionLength, length - kEniOptionLength);
        }
    }
}

void PrintRunningDriverEni() {
    if (driverEni[0] == '\0') {
        std::fprintf(stderr,
                     "parvane: the running driver has no -eni= option (it defines no slaves); "
                     "give -eni=PATH to check another ENI\n");
        return;
    }
    std::fprintf(stderr, "parvane: using the running driver's ENI: %s\n", driverEni);
}

void PrintWhereToLook() {
    char* path = static_cast<char*>(AllocateRtMemory(kPathBufferSize));
    if (path == nullptr) {
        return;
    }
    std::memset(path, 0, kPathBufferSize);
    if (GetRtNodeFolder(path, kPathBufferSize) != 0) {
        std::fprintf(stderr, "parvane: node folder: %s\n", path);
    }
    if (usedDriver != BAD_RTHANDLE &&
        GetRtProcessLogFile(usedDriver, kDriverProgramName, path, kPathBufferSize) != 0) {
        std::FILE* log = std::fopen(path, "r");
        if (log != nullptr) {
            std::fclose(log);
            std::fprintf(stderr, "parvane: driver log: %s\n", path);
        } else {
            std::fprintf(stderr,
                         "parvane: driver log: none at %s (a driver started from a shell logs to "
                         "its own stderr)\n",
                         path);
        }
    }
    FreeRtMemory(path);
}
