// Fakes for what the entry routine calls outside its own folder: the
// platform's memory and priorities, the launcher and the check sequence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeAppDeps {
    bool allocationFails = false;
    std::uint32_t lastError = 0;
    std::uint32_t launcherStatus = 0;
    std::uint32_t checksStatus = 0;

    // Recorded, in call order: "Allocate(4096)", "ProcessMaxPriority(0,0)",
    // "ThreadPriority(0,253)", "StartMasterDriver", "RunChecks".
    std::vector<std::string> calls;
    std::string eniArgument;
    std::size_t eniArgumentLength = 0;

    // The run lock, the hints and the result files, in call order, apart
    // from `calls` and with the place in `calls` they came at:
    // "Lock@3", "Unlock@5", "WhereToLook@5", "Results(json,junit,eni,status)@5".
    std::vector<std::string> around;
    bool lockFails = false;
    std::uint32_t resultStatus = 0;
};

extern FakeAppDeps fakeApp;
// The buffer that AllocateRtMemory hands out (filled with garbage first).
extern unsigned char fakeArgumentBuffer[4096];

void ResetFakeApp();
