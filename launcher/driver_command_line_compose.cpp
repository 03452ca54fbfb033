// The new driver command line: the new ENI option first, then every option of
// the old command line except its old ENI option.
#include "launcher/driver_command_line_compose.h"

#include <cstring>

namespace {

constexpr const char kEniOption[] = "-eni=";
constexpr std::size_t kEniOptionLength = sizeof(kEniOption) - 1;

// A bounded text being written: never more than size - 1 characters plus the
// NUL; a write that does not fit marks the text as overflowed.
struct LineWriter {
    char* buffer;
    std::uint32_t size;
    std::uint32_t length;
    bool overflow;
};

void Append(LineWriter& w, const char* text, std::size_t count) {
    if (w.overflow) {
        return;
    }
    if (count > w.size - 1 - w.length) {
        w.overflow = true;
        return;
    }
    std::memcpy(w.buffer + w.length, text, count);
    w.length += static_cast<std::uint32_t>(count);
    w.buffer[w.length] = '\0';
}

void Append(LineWriter& w, const char* text) {
    Append(w, text, std::strlen(text));
}

// The ENI option, its path between double quotes when it holds a blank.
void AppendEniArgument(LineWriter& w, const char* eniArgument) {
    if (std::strchr(eniArgument, ' ') == nullptr) {
        Append(w, eniArgument);
        return;
    }
    std::size_t length = std::strlen(eniArgument);
    std::size_t prefix = length < kEniOptionLength ? length : kEniOptionLength;
    Append(w, eniArgument, prefix);
    Append(w, "\"");
    Append(w, eniArgument + prefix);
    Append(w, "\"");
}

// What follows the old ENI option's value: behind the first closing quote
// that a blank follows when the value is quoted, else behind the first blank.
// Null when the value ends the line.
const char* OptionsAfterOldEni(const char* oldEni) {
    const char* value = oldEni + kEniOptionLength;
    if (*value == '"') {
        for (const char* q = std::strchr(value + 1, '"'); q != nullptr;
             q = std::strchr(q + 1, '"')) {
            if (q[1] == ' ') {
                return q + 2;
            }
        }
        return nullptr;
    }
    const char* blank = std::strchr(value, ' ');
    return blank != nullptr ? blank + 1 : nullptr;
}

}  // namespace

bool ComposeDriverCommandLine(const char* eniArgument, const char* oldCommandLine, char* buffer,
                              std::uint32_t bufferSize) {
    if (bufferSize == 0) {
        return false;
    }
    LineWriter w{buffer, bufferSize, 0, false};
    buffer[0] = '\0';
    AppendEniArgument(w, eniArgument);
    if (oldCommandLine != nullptr) {
        const char* oldEni = std::strstr(oldCommandLine, kEniOption);
        if (oldEni == nullptr) {
            Append(w, " ");
            Append(w, oldCommandLine);
        } else {
            if (oldEni != oldCommandLine) {
                // The character just before the old option, normally the
                // separating blank, is dropped.
                Append(w, " ");
                Append(w, oldCommandLine, static_cast<std::size_t>(oldEni - oldCommandLine) - 1);
            }
            Append(w, " ");
            const char* rest = OptionsAfterOldEni(oldEni);
            if (rest != nullptr) {
                Append(w, rest);
            }
        }
    }
    if (w.overflow) {
        std::memset(buffer, 0, bufferSize);
        return false;
    }
    return true;
}
