// Makes sure that the master driver runs with the ENI file the user named:
// leaves a running driver alone when no ENI file was named, else replaces it
// by a new driver that carries the old driver's other options over.
#include "launcher/start_master_driver.h"

#include "common/catalog_names.h"
#include "launcher/driver_command_line_compose.h"
#include "launcher/driver_command_line_read.h"
#include "launcher/driver_hints.h"
#include "launcher/launch_driver.h"
#include "launcher/launch_report.h"
#include "launcher/text_buffer.h"
#include "platform/rt_errors.h"

namespace {

using parvane::common::kDriverEntry;
constexpr std::uint32_t kStopWaitMs = 250;
constexpr std::uint32_t kAfterStopSleepMs = 250;

std::uint32_t MemoryFailure(std::uint32_t fallback) {
    return ReportLaunchFailure(kLineMemoryAllocationFailed, PlatformFailureStatus(fallback));
}

// Tells on stderr which ENI the running driver has; a record that cannot be
// read only leaves the hint out, the run goes on with the driver.
void NoteRunningDriverEni(RTHANDLE driver) {
    char* commandLine = ObtainTextBuffer();
    if (commandLine == nullptr) {
        return;
    }
    std::uint32_t readStatus = 0;
    if (ReadDriverCommandLineWithStatus(driver, commandLine, kTextBufferSize, &readStatus) == 0) {
        NoteDriverEniFromCommandLine(commandLine);
        PrintRunningDriverEni();
    }
    FreeRtMemory(commandLine);
}

}  // namespace

std::uint32_t StartMasterDriver(const char* eniArgument) {
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    RTHANDLE driver = LookupRtHandle(root, kDriverEntry, 0);
    bool found = driver != BAD_RTHANDLE;
    bool running = found && GetRtHandleType(driver) != kRtTypeNone;
    bool eniGiven = eniArgument[0] != '\0';

    if (!eniGiven && running) {
        NoteUsedDriver(driver);
        NoteRunningDriverEni(driver);
        return 0;
    }
    if (!eniGiven && found) {
        UncatalogRtHandle(root, kDriverEntry);
    }
    bool replace = eniGiven && running;

    char* oldCommandLine = nullptr;
    if (replace) {
        oldCommandLine = ObtainTextBuffer();
        if (oldCommandLine == nullptr) {
            return MemoryFailure(kRtErrNoMemory);
        }
        std::uint32_t readStatus = 0;
        if (ReadDriverCommandLineWithStatus(driver, oldCommandLine, kTextBufferSize, &readStatus) !=
            0) {
            return ReportLaunchFailure(kLineMemoryAllocationFailed, readStatus);
        }
        NoteUsedDriver(driver);
    }

    // The new command line is composed while the old driver still runs, so
    // that a line too long to hand over fails without stopping it.
    char* commandLine = ObtainTextBuffer();
    if (commandLine == nullptr) {
        return MemoryFailure(kRtErrNoMemory);
    }
    if (!ComposeDriverCommandLine(eniArgument, oldCommandLine, commandLine, kTextBufferSize)) {
        return ReportLaunchFailure(kLineCommandLineTooLong, kRtErrParam);
    }

    if (replace) {
        TerminateRtProcess(driver, 0, kStopWaitMs);
        RtSleep(kAfterStopSleepMs);
    }
    NoteDriverEniArgument(eniArgument);
    return LaunchDriver(root, commandLine);
}
