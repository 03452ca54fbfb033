// One state change: request the state and poll until the master reports it,
// sending the request again every sixth poll.
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "client/master_api.h"
#include "platform/rt_services.h"

namespace {

constexpr std::uint32_t kPollIntervalMs = 200;
constexpr std::uint32_t kPollsPerRequest = 6;
// Used when the allowed time is shorter than one poll interval (10000 ms).
constexpr std::uint32_t kMinimumPolls = 50;

}  // namespace

std::uint16_t ChangeStateAndWait(MasterHandle handle, std::uint16_t state,
                                 std::uint32_t timeoutMs) {
    std::uint32_t polls = timeoutMs / kPollIntervalMs;
    if (polls == 0) {
        polls = kMinimumPolls;
    }
    std::uint32_t counter = 0;
    std::uint16_t requested = 0;
    std::uint16_t current = 0;

    for (std::uint32_t poll = 0; poll < polls; ++poll) {
        if (counter == 0) {
            const std::uint16_t status = MasterRequestState(handle, state);
            if (status != 0) {
                PrintMasterCallError(status);
                return status;
            }
        }
        ++counter;
        if (counter >= kPollsPerRequest) {
            counter = 0;
        }

        RtSleep(kPollIntervalMs);

        const std::uint16_t status = MasterGetState(handle, &requested, &current);
        if (status != 0) {
            PrintMasterCallError(status);
            return status;
        }
        if (current == state) {
            std::printf("*         SUCCESS. \n");
            return 0;
        }
    }
    std::printf("*         FAILED. \n");
    return kMasterTimeout;
}
