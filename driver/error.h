// How the driver's own parts report a failure: the sentence to log, and what
// it concerns (a file or socket path, or the key path in a network
// description such as "faults[2].state").
#pragma once

#include <string>

namespace parvane::driver {

struct Error {
    std::string message;
    std::string where;
};

}  // namespace parvane::driver
