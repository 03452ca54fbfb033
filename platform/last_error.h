// The calling thread's last failure code, shared by every service of the
// layer.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

namespace parvane::platform::detail {

void SetLastError(std::uint32_t code);

// Records code and returns the given failure value, so a service can write
// `return Fail(kRtErrParam, BAD_RTHANDLE);`.
template <typename T>
T Fail(std::uint32_t code, T failure) {
    SetLastError(code);
    return failure;
}

// Maps a host errno onto the layer's codes.
std::uint32_t ErrorFromErrno(int error);

}  // namespace parvane::platform::detail
