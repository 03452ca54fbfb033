// What a program that checks a node needs beyond the platform's services: one
// check at a time per node, and where to look when something went wrong.
//
// The run lock is an advisory lock (flock) on <node>/run.lock. The kernel
// drops it when its holder ends, however it ends, so a killed check never
// blocks the next one.
#pragma once

#include <cstdint>

#include "platform/rt_services.h"

// Takes the node's run lock. When another process holds it, calls onWait once
// (when not null) and then waits at most waitMs for it. True when held; false
// with the last error set: kRtErrTimeout when the wait ran out, kRtErrNode
// when the node cannot be joined, kRtErrIo for another host failure.
bool LockRtNodeRun(std::uint32_t waitMs, void (*onWait)());

// Gives the lock back (the end of the process does the same). Safe to call
// without holding it.
void UnlockRtNodeRun();

// Writes the node folder's path into buffer. Its length, or 0 when the node
// cannot be joined or the path does not fit (size counts the NUL).
std::uint32_t GetRtNodeFolder(char* buffer, std::uint32_t size);

// Writes the path of the log file that the layer keeps for a process it
// started with CreateRtProcess: <node>/log/<program>.<pid>.log, program being
// the file name of the path it was started from. Its length, or 0 when the
// handle names no process or the path does not fit. Whether the file exists
// is not looked at (a driver started from a shell has none).
std::uint32_t GetRtProcessLogFile(RTHANDLE process, const char* program, char* buffer,
                                  std::uint32_t size);
