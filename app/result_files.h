// The result files for scripts and CI: -json=FILE and -junit=FILE. Each is
// written whole under a temporary name in the same folder and renamed into
// place, so a reader never sees half a file; they are written also when the
// run fails.
#pragma once

#include <cstdint>

// A result file could not be written: the run fails with this status (the
// run's own failure status stays when it had failed already).
inline constexpr std::uint32_t kStatusResultFileFailed = 0x22;

// Writes the files that were asked for (a null or empty path asks for none),
// from the check record, the launcher's notes and the run's status. eniGiven
// is the -eni= path ("" when none). 0 when every asked file was written, else
// kStatusResultFileFailed, with the reason on stderr.
std::uint32_t WriteResultFiles(const char* jsonPath, const char* junitPath, const char* eniGiven,
                               std::uint32_t status);
