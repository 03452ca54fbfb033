#include "app/parvane_main.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/command_words.h"
#include "app/options.h"
#include "app/result_files.h"
#include "check/bus_check.h"
#include "launcher/driver_hints.h"
#include "launcher/last_status.h"
#include "launcher/start_master_driver.h"
#include "platform/node_run.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

namespace {

constexpr char kVersionText[] = PARVANE_VERSION_TEXT;

// The argument buffer holds "-eni=" and the path behind it; the path may take
// 4090 characters so that the last byte always stays NUL.
constexpr std::uint32_t kArgumentBufferSize = 4096;
constexpr char kEniPrefix[] = "-eni=";
constexpr std::uint32_t kEniPrefixLength = sizeof kEniPrefix - 1;
constexpr std::uint32_t kEniPathMax = kArgumentBufferSize - 1 - kEniPrefixLength;

constexpr std::int32_t kDefaultPriority = 253;
constexpr std::uint32_t kOptionStoreFailed = 0x20000;

// Longer than the longest run of a check (two 30 s driver waits and four
// state changes of up to 120 s each), so a waiting check gives up only on a
// check that hangs.
constexpr std::uint32_t kRunLockWaitMs = 20 * 60 * 1000;

void TellWaiting() {
    std::fprintf(stderr, "waiting for another check in this node to end\n");
}

// The path of a result-file option, or null when not given.
const char* ResultPath(const char* name) {
    for (const OptionEntry* entry = OptionTable; entry->name != nullptr; ++entry) {
        if (std::strcmp(entry->name, name) == 0) {
            return entry->value;
        }
    }
    return nullptr;
}

}  // namespace

int ParvaneMain(int argc, char** argv) {
    // Line by line, so that a reader at the other end of a pipe sees each
    // step as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Answered before the driver or the network is touched.
    if (AnswerInfoWords(argc, argv, kVersionText)) {
        return 0;
    }

    std::printf("****************************************************************\n");
    std::printf("* Parvane %s \n", kVersionText);

    char* buffer = static_cast<char*>(AllocateRtMemory(kArgumentBufferSize));
    if (buffer == nullptr) {
        LastStatus = GetLastRtError();
        // A failure must never end as success, even if the platform did not
        // record a code.
        if (LastStatus == 0) {
            LastStatus = kRtErrNoMemory;
        }
        std::printf("* ERROR. Memory allocation failed. StatusCode[%04XH]\n",
                    static_cast<unsigned>(LastStatus));
        return static_cast<int>(LastStatus);
    }
    std::memset(buffer, 0, kArgumentBufferSize);

    const std::int32_t parsed = ParseOptions(argc, argv);
    if (parsed != 0) {
        std::printf("* ERROR. Memory allocation failed. ErrNo[%d, (%04XH)]\n", parsed,
                    static_cast<unsigned>(parsed));
        return static_cast<int>(static_cast<std::uint32_t>(parsed) | kOptionStoreFailed);
    }
    ReportIgnoredWords(argc, argv);

    std::memcpy(buffer, kEniPrefix, kEniPrefixLength);
    const auto priority = static_cast<std::uint8_t>(GetOptionInt("-pri=", kDefaultPriority) & 0xFF);
    GetOptionString("-eni=", "", buffer + kEniPrefixLength, kEniPathMax);

    SetRtProcessMaxPriority(0, 0);
    SetRtThreadPriority(0, priority);

    // One check at a time in a node: held from before the driver is looked
    // at until the master is closed, so that a second check cannot replace
    // the driver under this one.
    if (!LockRtNodeRun(kRunLockWaitMs, TellWaiting)) {
        std::uint32_t status = GetLastRtError();
        if (status == 0) {
            status = kRtErrTimeout;
        }
        std::fprintf(stderr, "parvane: the other check in this node did not end (%04XH)\n",
                     static_cast<unsigned>(status));
        PrintWhereToLook();
        return static_cast<int>(status);
    }

    // Without a path the launcher leaves a running driver alone.
    const char* eniArgument = buffer[kEniPrefixLength] == '\0' ? "" : buffer;
    std::uint32_t status = StartMasterDriver(eniArgument);
    if (status == 0) {
        status = RunChecks();
    }
    UnlockRtNodeRun();

    if (status != 0) {
        PrintWhereToLook();
    }
    const std::uint32_t written = WriteResultFiles(ResultPath("-json="), ResultPath("-junit="),
                                                   buffer + kEniPrefixLength, status);
    if (status == 0) {
        status = written;
    }
    return static_cast<int>(status);
}
