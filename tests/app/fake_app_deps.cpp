#include "tests/app/fake_app_deps.h"

#include <cstring>

#include "check/bus_check.h"
#include "launcher/start_master_driver.h"
#include "platform/rt_services.h"

FakeAppDeps fakeApp;
unsigned char fakeArgumentBuffer[4096];

void ResetFakeApp() {
    fakeApp = FakeAppDeps{};
    std::memset(fakeArgumentBuffer, 0xCC, sizeof fakeArgumentBuffer);
}

void* AllocateRtMemory(std::uint32_t size) {
    fakeApp.calls.push_back("Allocate(" + std::to_string(size) + ")");
    if (fakeApp.allocationFails || size > sizeof fakeArgumentBuffer) {
        return nullptr;
    }
    return fakeArgumentBuffer;
}

std::uint32_t GetLastRtError() {
    return fakeApp.lastError;
}

bool SetRtProcessMaxPriority(RTHANDLE process, std::uint8_t priority) {
    fakeApp.calls.push_back("ProcessMaxPriority(" + std::to_string(process) + "," +
                            std::to_string(priority) + ")");
    return true;
}

bool SetRtThreadPriority(RTHANDLE thread, std::uint8_t priority) {
    fakeApp.calls.push_back("ThreadPriority(" + std::to_string(thread) + "," +
                            std::to_string(priority) + ")");
    return true;
}

std::uint32_t StartMasterDriver(const char* eniArgument) {
    fakeApp.calls.push_back("StartMasterDriver");
    fakeApp.eniArgument = eniArgument;
    fakeApp.eniArgumentLength = std::strlen(eniArgument);
    return fakeApp.launcherStatus;
}

std::uint32_t RunChecks() {
    fakeApp.calls.push_back("RunChecks");
    return fakeApp.checksStatus;
}
