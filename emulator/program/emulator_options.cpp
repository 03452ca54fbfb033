#include "emulator/program/emulator_options.h"

#include <string_view>

namespace parvane::emulator {
namespace {

std::string Unquoted(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

}  // namespace

std::expected<EmulatorOptions, Error> ParseEmulatorOptions(int argc, const char* const* argv) {
    EmulatorOptions options;
    struct Known {
        const char* prefix;
        std::string* value;
    };
    const Known known[] = {{"-nic=", &options.nic},
                           {"-eni=", &options.eniPath},
                           {"-sim=", &options.descriptionPath},
                           {"-log=", &options.logPath}};
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr)
            continue;
        const std::string_view word = argv[i];
        bool matched = false;
        for (const Known& k : known) {
            if (word.starts_with(k.prefix)) {
                *k.value = Unquoted(word.substr(std::string_view(k.prefix).size()));
                if (k.value->empty())
                    return std::unexpected(
                        Error{std::string("option ") + k.prefix + " needs a value", k.prefix});
                matched = true;
            }
        }
        if (!matched)
            return std::unexpected(
                Error{"unknown option \"" + std::string(word) +
                          "\" (usage: -nic=NAME -eni=FILE [-sim=FILE] [-log=FILE])",
                      std::string(word)});
    }
    if (options.nic.empty())
        return std::unexpected(Error{"missing -nic=NAME", "-nic="});
    if (options.eniPath.empty())
        return std::unexpected(Error{"missing -eni=FILE", "-eni="});
    return options;
}

}  // namespace parvane::emulator
