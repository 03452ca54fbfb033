// The emulator program's command line, in the driver's style: "-nic=NAME
// -eni=FILE [-sim=FILE] [-log=FILE]"; a value between double quotes loses
// them. Any other word, a missing value or a missing required option refuses
// the command line with one sentence.
#pragma once

#include <expected>
#include <string>

#include "emulator/error.h"

namespace parvane::emulator {

struct EmulatorOptions {
    std::string nic;
    std::string eniPath;
    std::string descriptionPath;  // -sim=; empty: the ENI's slaves as they are
    std::string logPath;          // empty: no log
};

// A refusal's `where` is the option or word it concerns.
std::expected<EmulatorOptions, Error> ParseEmulatorOptions(int argc, const char* const* argv);

}  // namespace parvane::emulator
