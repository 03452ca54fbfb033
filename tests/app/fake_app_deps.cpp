#include "tests/app/fake_app_deps.h"

#include <cstring>

#include "app/result_files.h"
#include "check/bus_check.h"
#include "launcher/driver_hints.h"
#include "launcher/start_master_driver.h"
#include "platform/node_run.h"
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

namespace {

void Around(const std::string& what) {
    fakeApp.around.push_back(what + "@" + std::to_string(fakeApp.calls.size()));
}

std::string Text(const char* text) {
    return text == nullptr ? "null" : text;
}

}  // namespace

bool LockRtNodeRun(std::uint32_t, void (*)()) {
    Around("Lock");
    return !fakeApp.lockFails;
}

void UnlockRtNodeRun() {
    Around("Unlock");
}

void PrintWhereToLook() {
    Around("WhereToLook");
}

std::uint32_t WriteResultFiles(const char* jsonPath, const char* junitPath, const char* eniGiven,
                               std::uint32_t status) {
    Around("Results(" + Text(jsonPath) + "," + Text(junitPath) + "," + Text(eniGiven) + "," +
           std::to_string(status) + ")");
    return fakeApp.resultStatus;
}
