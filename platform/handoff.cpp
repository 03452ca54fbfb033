#include "platform/handoff.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace parvane::platform::detail {

std::string HandoffEntry(std::string_view text) {
    return std::string(kHandoffVariable) + "=" + std::string(kHandoffPidDigits, '0') + ":" +
           std::string(text);
}

void PutDigits(char* out, std::size_t digits, unsigned long value) {
    for (std::size_t i = digits; i-- > 0;) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

std::optional<std::string> TakeHandoff() {
    const char* raw = std::getenv(kHandoffVariable);
    if (raw == nullptr)
        return std::nullopt;
    std::string value(raw);
    unsetenv(kHandoffVariable);
    if (value.size() <= kHandoffPidDigits || value[kHandoffPidDigits] != ':')
        return std::nullopt;
    std::string digits(kHandoffPidDigits, '0');
    PutDigits(digits.data(), kHandoffPidDigits, static_cast<unsigned long>(getpid()));
    if (value.compare(0, kHandoffPidDigits, digits) != 0)
        return std::nullopt;
    return value.substr(kHandoffPidDigits + 1);
}

}  // namespace parvane::platform::detail
