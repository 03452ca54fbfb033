// The launcher's text buffers: 4096 bytes of platform memory each, held until
// the process ends.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kTextBufferSize = 4096;

// A zero-filled text buffer, or null when the platform refuses the memory
// (its last error then tells why).
char* ObtainTextBuffer();
