// How the platform's priority scale maps onto the host's nice values.
#pragma once

#include <cstdint>

namespace parvane::platform::detail {

// 0 (highest) .. 255 (lowest) onto nice -20 .. 19: nice = -20 + p * 39 / 255.
int NiceForPriority(std::uint8_t priority);

// The nice value the calling thread had before SetRtThreadPriority first
// changed it; processes that CreateRtProcess starts get this one back rather
// than the creator's own priority.
int NiceBeforeRtPriority();

}  // namespace parvane::platform::detail
