// What the launcher learns about the driver a run uses, and the hints on
// stderr that tell the user where to look. Nothing here writes to stdout: the
// console report stays as it is.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

// The driver's program file name, as the layer names its log file.
inline constexpr char kDriverProgramName[] = "lomadyn.rta";

// The driver the run uses: the running one it found or the one it started;
// BAD_RTHANDLE before the launcher has seen one.
RTHANDLE UsedDriver();
void NoteUsedDriver(RTHANDLE driver);

// The ENI path the driver runs with, "" when it has none (or none is known).
const char* DriverEniPath();
// Takes the path from an "-eni=PATH" argument, or from a driver command line
// (the last "-eni=" word wins; a value between double quotes loses them).
void NoteDriverEniArgument(const char* eniArgument);
void NoteDriverEniFromCommandLine(const char* commandLine);

// "using the running driver's ENI: PATH" (or that it has none) on stderr.
void PrintRunningDriverEni();

// The node folder and the used driver's log file on stderr, for a failed run.
void PrintWhereToLook();
