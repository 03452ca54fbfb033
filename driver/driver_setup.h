// Turns the driver's options into what the request handling serves: the ENI's
// slaves, the network on frames (emulated slaves, or the interface -nic= or
// the master INI names), the fault rules and the openings limit.
// Every problem is logged; a refused ENI or description leaves the setup
// unconfigured rather than stopping the driver.
#pragma once

#include "driver/driver_options.h"
#include "driver/master_service.h"

namespace parvane::driver {

ServiceSetup LoadSetup(const DriverOptions& options);

}  // namespace parvane::driver
