// Starting a new master driver and waiting for the end of its initialisation.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

// Starts the driver program with commandLine and waits for its process entry
// in the root directory, then for its end-of-initialisation entry. 0 when the
// driver has ended its initialisation, else the failure status, already
// printed.
std::uint32_t LaunchDriver(RTHANDLE rootProcess, const char* commandLine);
