// The driver's command-line options. "-eni=" names the ENI file, "-sim=" the
// network description, "-nic=" the network interface the master drives (the
// word "simulated": the emulated slaves) and "-pcap=" a file that records
// every frame; a value between double quotes loses them. Every other word is
// accepted and ignored, so that options meant for a real master survive a
// restart.
#pragma once

#include <string>

namespace parvane::driver {

struct DriverOptions {
    std::string eniPath;          // empty: no ENI, the master defines no slaves
    std::string descriptionPath;  // -sim=; empty: the ENI's slaves as they are
    std::string nic;              // empty: the master INI's Adapter= decides
    std::string pcapPath;         // empty: no recording
};

// argv[0] is the program's name and is not looked at; a later option of the
// same name replaces an earlier one.
DriverOptions ParseDriverOptions(int argc, char** argv);

}  // namespace parvane::driver
