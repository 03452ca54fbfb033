// How the emulator's parts report a refusal: the sentence to show, and what
// it concerns (a file, an option, or the key path in a network description
// such as "faults[2].state").
#pragma once

#include <string>

namespace parvane::emulator {

struct Error {
    std::string message;
    std::string where;
};

}  // namespace parvane::emulator
