#include "driver/driver_options.h"

#include <string_view>

namespace driver {
namespace {

// A value between double quotes loses them. Blanks after the closing quote go
// too: a path with a quote inside leaves a quoted run open at the end of the
// word, and the run then takes in the blank that a restart writes after a lone
// ENI option.
std::string Unquoted(std::string_view value) {
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        auto last = value.find_last_not_of(" \t");
        if (last != std::string_view::npos && value[last] == '"')
            value.remove_suffix(value.size() - last - 1);
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
