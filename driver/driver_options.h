// The driver's command-line options. "-eni=" names the ENI file and "-sim="
// the network description; a value between double quotes loses them. Every
// other word is accepted and ignored, so that options meant for a real master
// survive a restart.
#pragma once

#include <string>

namespace parvane::driver {

struct DriverOptions {
    std::string eniPath;  // empty: no ENI, the master defines no slaves
    std::string simPath;  // empty: the network is the ENI's
};

// argv[0] is the program's name and is not looked at; a later option of the
// same name replaces an earlier one.
DriverOptions ParseDriverOptions(int argc, char** argv);

}  // namespace parvane::driver
