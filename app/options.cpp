#include "app/options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

OptionEntry OptionTable[] = {
    {"-pri=", nullptr},   {"-eni=", nullptr}, {"-json=", nullptr},
    {"-junit=", nullptr}, {nullptr, nullptr},
};

namespace {

OptionEntry* FindOption(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (OptionEntry* entry = OptionTable; entry->name != nullptr; ++entry) {
        if (std::strcmp(entry->name, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

// The first entry whose name begins the argument, or null.
OptionEntry* MatchOption(const char* argument, std::size_t argumentLength) {
    for (OptionEntry* entry = OptionTable; entry->name != nullptr; ++entry) {
        const std::size_t nameLength = std::strlen(entry->name);
        if (nameLength > argumentLength) {
            continue;
        }
        if (std::strncmp(entry->name, argument, nameLength) == 0) {
            return entry;
        }
    }
    return nullptr;
}

// A value that begins with a double quote loses it, and then its last
// character too if that is a double quote. Other values stay as they are.
void StripQuotes(char* value) {
    if (value[0] != '"') {
        return;
    }
    const std::size_t length = std::strlen(value);
    std::memmove(value, value + 1, length);  // the NUL moves along
    const std::size_t rest = length - 1;
    if (rest > 0 && value[rest - 1] == '"') {
        value[rest - 1] = '\0';
    }
}

std::size_t Smaller(std::size_t a, std::uint32_t b) {
    return a < b ? a : b;
}

}  // namespace

std::int32_t ParseOptions(std::int32_t argc, char** argv) {
    if (argc < 2 || argv == nullptr) {
        return 0;
    }
    for (std::int32_t i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr) {
            continue;
        }
        const std::size_t argumentLength = std::strlen(argument);
        OptionEntry* entry = MatchOption(argument, argumentLength);
        if (entry == nullptr) {
            continue;  // not an option of ours
        }
        std::free(entry->value);
        entry->value = nullptr;

        const std::size_t nameLength = std::strlen(entry->name);
        const std::size_t valueLength = argumentLength - nameLength;
        char* value = static_cast<char*>(std::calloc(valueLength + 2, 1));
        if (value == nullptr) {
            return 1;
        }
        std::memcpy(value, argument + nameLength, valueLength);
        StripQuotes(value);
        entry->value = value;
    }
    return 0;
}

std::int32_t GetOptionString(const char* name, const char* defaultText, char* dest,
                             std::uint32_t maxLen) {
    if (dest == nullptr) {
        return 0;
    }
    if (defaultText == nullptr) {
        defaultText = "";
    }
    const OptionEntry* entry = FindOption(name);
    if (entry == nullptr) {
        std::strncpy(dest, defaultText, maxLen);
        return 0;
    }
    if (entry->value != nullptr) {
        std::memcpy(dest, entry->value, Smaller(std::strlen(entry->value), maxLen));
        return 0;
    }
    if (defaultText[0] == '\0') {
        std::memset(dest, 0, maxLen);
    } else {
        std::memcpy(dest, defaultText, Smaller(std::strlen(defaultText), maxLen));
    }
    return 0;
}

std::int32_t GetOptionInt(const char* name, std::int32_t defaultValue) {
    const OptionEntry* entry = FindOption(name);
    if (entry == nullptr || entry->value == nullptr) {
        return defaultValue;
    }
    // strtol reads like atoi but reports an overflow instead of invoking
    // undefined behaviour; the result is then clamped to 32 bits.
    const long parsed = std::strtol(entry->value, nullptr, 10);
    if (parsed > INT32_MAX) {
        return INT32_MAX;
    }
    if (parsed < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(parsed);
}
