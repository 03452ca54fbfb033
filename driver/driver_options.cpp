#include "driver/driver_options.h"

#include <algorithm>
#include <string_view>

namespace parvane::driver {
namespace {

// A value between double quotes loses them. A word that ends inside a quoted
// run (the path itself holds a double quote) has taken in the blank that a
// restart writes after a lone ENI option; blanks at its end go too.
std::string Unquoted(std::string_view value) {
    if (std::count(value.begin(), value.end(), '"') % 2 != 0) {
        auto last = value.find_last_not_of(" \t");
        value = value.substr(0, last == std::string_view::npos ? 0 : last + 1);
    }
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
            options.descriptionPath = Unquoted(word.substr(5));
        } else if (word.starts_with("-nic=")) {
            options.nic = Unquoted(word.substr(5));
        } else if (word.starts_with("-pcap=")) {
            options.pcapPath = Unquoted(word.substr(6));
        }
    }
    return options;
}

}  // namespace parvane::driver
