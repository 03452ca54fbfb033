// Where the master driver's program file is taken from.
#pragma once

#include <cstdint>

// Writes the driver's path into the zero-filled buffer of bufferSize bytes:
// with "ECAT_MASTER_INI_FILE" set, "lomadyn.rta" in the folder one level
// above the INI file's folder; without it, "lomadyn.rta" beside the running
// program. 0 on success, else the failure status, already printed.
std::uint32_t DeriveDriverPath(char* buffer, std::uint32_t bufferSize);
