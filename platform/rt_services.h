// The real-time platform's services, as the tool and the master stand-in call
// them. On Linux they are implemented by this folder with real processes,
// files and shared memory; on the real platform this header is replaced by the
// platform's own.
#pragma once

#include <cstdint>

using RTHANDLE = std::uint16_t;
inline constexpr RTHANDLE BAD_RTHANDLE = 0xFFFF;

// Selectors for GetRtThreadHandles.
inline constexpr std::uint32_t kRtThisThread = 0;
inline constexpr std::uint32_t kRtThisProcess = 1;
inline constexpr std::uint32_t kRtRootProcess = 3;

// Types returned by GetRtHandleType; 0 means "not a live object".
inline constexpr std::uint16_t kRtTypeNone = 0;
inline constexpr std::uint16_t kRtTypeProcess = 1;
inline constexpr std::uint16_t kRtTypeMemory = 2;
inline constexpr std::uint16_t kRtTypeThread = 3;

// Memory.
void* AllocateRtMemory(std::uint32_t size);
// Releases a mapping from MapRtSharedMemory or a block from AllocateRtMemory.
bool FreeRtMemory(void* memory);

// Code of the calling thread's last failed service call (rt_errors.h).
std::uint32_t GetLastRtError();

// Priorities: 0 is the highest, 255 the lowest.
bool SetRtProcessMaxPriority(RTHANDLE process, std::uint8_t priority);
bool SetRtThreadPriority(RTHANDLE thread, std::uint8_t priority);

bool RtSleep(std::uint32_t milliseconds);

// Object directories.
RTHANDLE GetRtThreadHandles(std::uint32_t selector);
RTHANDLE LookupRtHandle(RTHANDLE directory, const char* name, std::uint32_t waitMs);
bool CatalogRtHandle(RTHANDLE directory, RTHANDLE object, const char* name);
bool UncatalogRtHandle(RTHANDLE directory, const char* name);
std::uint16_t GetRtHandleType(RTHANDLE handle);

// Processes.
RTHANDLE CreateRtProcess(const char* path, const char* commandLine, void* reserved,
                         std::uint32_t flags);
bool TerminateRtProcess(RTHANDLE process, std::uint32_t flags, std::uint32_t waitMs);

// Shared memory objects.
RTHANDLE CreateRtSharedMemory(const void* contents, std::uint32_t size);
void* MapRtSharedMemory(RTHANDLE memory);
// Size in bytes of a memory object, 0 when it is not a live memory object.
std::uint32_t GetRtSharedMemorySize(RTHANDLE memory);

// Path of the running program's executable (module 0); 0 on failure.
std::uint32_t GetRtModuleFilename(RTHANDLE module, char* buffer, std::uint32_t size);

// Start-up: every program's main() calls this first. It joins the node,
// registers the process, writes its command-line record, calls entry with the
// program's words and returns the process's exit status (see docs/platform.md: a
// status above 254 reaches the shell as 255).
int RtStartup(int argc, char** argv, int (*entry)(int argc, char** argv));
