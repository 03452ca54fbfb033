#include "app/parvane_main.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/options.h"
#include "check/bus_check.h"
#include "launcher/last_status.h"
#include "launcher/start_master_driver.h"
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

}  // namespace

int ParvaneMain(int argc, char** argv) {
    // Line by line, so that a reader at the other end of a pipe sees each
    // step as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

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

    std::memcpy(buffer, kEniPrefix, kEniPrefixLength);
    const auto priority = static_cast<std::uint8_t>(GetOptionInt("-pri=", kDefaultPriority) & 0xFF);
    GetOptionString("-eni=", "", buffer + kEniPrefixLength, kEniPathMax);

    SetRtProcessMaxPriority(0, 0);
    SetRtThreadPriority(0, priority);

    // Without a path the launcher leaves a running driver alone.
    const char* eniArgument = buffer[kEniPrefixLength] == '\0' ? "" : buffer;
    const std::uint32_t launched = StartMasterDriver(eniArgument);
    if (launched != 0) {
        return static_cast<int>(launched);
    }
    return static_cast<int>(RunChecks());
}
