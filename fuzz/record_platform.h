// A stand-in for the platform services that ReadDriverCommandLine calls,
// linked in place of the real layer: the driver's "R?H$C$NAME" entry names
// one memory object whose contents are the bytes given here. Each mapping is
// a fresh heap block of exactly the object's size, so that a read past the
// object is caught by AddressSanitizer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

inline constexpr std::uint16_t kDriverProcess = 7;

// The bytes of the record object for the next calls.
void SetRecordObject(const std::uint8_t* data, std::size_t size);

// True when every mapping handed out was released with FreeRtMemory and no
// other block was passed to it.
bool MappingsBalanced();

}  // namespace fuzz
