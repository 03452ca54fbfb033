#include "scan/scan_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string_view>

namespace parvane::scan {

const char kScanUsage[] =
    "usage: parvane-scan -nic=IF [-o=FILE] [-cycle=US]\n"
    "       parvane-scan -nic=IF -compare=ENI [-json=FILE]\n"
    "       parvane-scan -emulate=ENI [-sim=FILE] [-o=FILE | -compare=ENI [-json=FILE]]\n"
    "  -nic=IF        the network interface the segment hangs on (needs CAP_NET_RAW)\n"
    "  -emulate=ENI   scan emulated slaves built from ENI instead of an interface\n"
    "  -sim=FILE      the network description for the emulated slaves\n"
    "  -o=FILE        write the ENI to FILE (default: stdout)\n"
    "  -cycle=US      the cycle time the written ENI gives, in microseconds (default 1000)\n"
    "  -compare=ENI   say where the network differs from ENI (exit 0 same, 1 different)\n"
    "  -json=FILE     also write the comparison to FILE as JSON\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

namespace {

enum class Field { kNic, kEmulate, kSim, kOutput, kCycle, kCompare, kJson };

struct Option {
    std::string_view name;  // without the leading '-' and the '='
    Field field;
};

constexpr std::array<Option, 7> kOptions{{
    {"nic", Field::kNic},
    {"emulate", Field::kEmulate},
    {"sim", Field::kSim},
    {"o", Field::kOutput},
    {"cycle", Field::kCycle},
    {"compare", Field::kCompare},
    {"json", Field::kJson},
}};

std::string Lower(std::string_view text) {
    std::string out(text);
    std::ranges::transform(out, out.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The option a mistyped word means: its name with other dashes, letter case
// or without its '='; nothing when it names none.
const Option* Meant(std::string_view word) {
    const std::size_t dashes = word.find_first_not_of('-');
    if (dashes == std::string_view::npos)
        return nullptr;
    const std::string stem = Lower(word.substr(dashes, word.find('=') - dashes));
    for (const Option& option : kOptions)
        if (stem == option.name)
            return &option;
    return nullptr;
}

std::expected<void, UsageError> Store(ScanCommand& command, Field field, std::string_view value,
                                      std::string_view word) {
    if (value.empty())
        return std::unexpected(UsageError{"option " + std::string(word) + " needs a value"});
    switch (field) {
        case Field::kNic:
            command.nic = value;
            break;
        case Field::kEmulate:
            command.emulate = value;
            break;
        case Field::kSim:
            command.sim = value;
            break;
        case Field::kOutput:
            command.output = value;
            break;
        case Field::kCompare:
            command.compare = value;
            break;
        case Field::kJson:
            command.json = value;
            break;
        case Field::kCycle: {
            std::uint32_t us = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), us);
            if (ec != std::errc{} || end != value.data() + value.size() || us == 0)
                return std::unexpected(
                    UsageError{"-cycle= takes a cycle time in microseconds "
                               "from 1, not \"" +
                               std::string(value) + "\""});
            command.cycleUs = us;
            break;
        }
    }
    return {};
}

std::expected<void, UsageError> TakeWord(ScanCommand& command, std::string_view word) {
    for (const Option& option : kOptions) {
        if (word.size() > option.name.size() + 1 && word[0] == '-' &&
            word.substr(1, option.name.size()) == option.name &&
            word[option.name.size() + 1] == '=')
            return Store(command, option.field, word.substr(option.name.size() + 2), word);
    }
    std::string message = "unknown option \"" + std::string(word) + "\"";
    if (const Option* meant = Meant(word))
        message += " (did you mean -" + std::string(meant->name) + "=...?)";
    return std::unexpected(UsageError{message});
}

std::expected<void, UsageError> CheckCombination(const ScanCommand& c) {
    if (c.nic.empty() == c.emulate.empty())
        return std::unexpected(UsageError{"give exactly one of -nic=IF and -emulate=ENI"});
    if (!c.sim.empty() && c.emulate.empty())
        return std::unexpected(UsageError{"-sim= describes emulated slaves: it needs -emulate="});
    if (!c.compare.empty() && !c.output.empty())
        return std::unexpected(UsageError{"-o= writes an ENI, -compare= compares: give one"});
    if (!c.json.empty() && c.compare.empty())
        return std::unexpected(UsageError{"-json= writes the comparison: it needs -compare="});
    return {};
}

}  // namespace

std::expected<ScanCommand, UsageError> ParseScanCommand(std::span<const char* const> words) {
    ScanCommand command;
    for (const char* w : words) {
        const std::string_view word = w == nullptr ? std::string_view{} : std::string_view{w};
        if (word == "-h" || word == "--help") {
            command.help = true;
            return command;
        }
        if (word == "--version") {
            command.version = true;
            return command;
        }
    }
    for (const char* w : words) {
        if (w == nullptr)
            continue;
        if (auto taken = TakeWord(command, w); !taken)
            return std::unexpected(taken.error());
    }
    if (auto checked = CheckCombination(command); !checked)
        return std::unexpected(checked.error());
    return command;
}

}  // namespace parvane::scan
