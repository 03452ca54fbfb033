// The process-wide status of the last failure that the launcher or the entry
// routine printed.
#pragma once

#include <cstdint>

extern std::uint32_t LastStatus;
