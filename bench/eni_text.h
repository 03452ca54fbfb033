// Generated ENI files for the fault tests and the benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace benchdata {

// An ENI of `count` slaves. Slave i has vendor ID 2, product code 0x1000 + i
// and revision number 0x00100000 + (i % 16). A configurator-shaped slave also
// carries its mailbox, init commands and process data (some 2 kB per slave);
// a plain one only its identity.
std::string EniText(std::size_t count, bool configuratorShaped);

}  // namespace benchdata
