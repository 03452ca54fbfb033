#include "driver/driver_options.h"

#include <string_view>

namespace driver {
namespace {

std::string Unquoted(std::string_view value) {
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        if (!value.empty() && value.back() == '"')
            value.remove_suffix(1);
    }
    return std::string(value);
}

}  // namespace

DriverOptions ParseDriverOptions(int argc, char** argv) {
    DriverOptions options;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr)
            continue;
        std::string_view word = argv[i];
        if (word.starts_with("-eni=")) {
            options.eniPath = Unquoted(word.substr(5));
        } else if (word.starts_with("-sim=")) {
            options.simPath = Unquoted(word.substr(5));
        }
    }
    return options;
}

}  // namespace driver
