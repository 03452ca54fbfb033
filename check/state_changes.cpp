// Step 4: bring the network up through Pre-Operational and Safe-Operational
// to Operational and back to Init, waiting for each state in turn.
#include <chrono>
#include <cstdio>

#include "check/bus_check.h"
#include "check/report_lines.h"
#include "check/run_record.h"
#include "client/master_api.h"

namespace {

struct TargetState {
    std::uint16_t code;
    const char* attemptLine;
};

constexpr TargetState kTargetStates[] = {
    {kEcStatePreOp, "*         Attempt to state change to Pre-Operational.\n"},
    {kEcStateSafeOp, "*         Attempt to state change to Safe-Operational.\n"},
    {kEcStateOp, "*         Attempt to state change to Operational.\n"},
    {kEcStateInit, "*         Attempt to state change to Init.\n"},
};

// Time allowed for each change; larger networks take longer.
std::uint32_t AllowedTimeMs(std::uint16_t eniCount) {
    if (eniCount < 10) {
        return 30000;
    }
    if (eniCount < 20) {
        return 60000;
    }
    return 120000;
}

}  // namespace

std::uint16_t ConfirmStateChanges(MasterHandle handle, std::uint16_t eniCount,
                                  std::uint16_t /*onlineCount*/) {
    const std::uint32_t allowedMs = AllowedTimeMs(eniCount);

    std::printf("%s", kBlankReportLine);
    std::printf("* STEP 4: Confirmation of state-change...\n");

    for (const TargetState& target : kTargetStates) {
        std::printf("%s", target.attemptLine);
        const auto began = std::chrono::steady_clock::now();
        const std::uint16_t status = ChangeStateAndWait(handle, target.code, allowedMs);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        RecordStateChange(target.code, status, static_cast<std::uint32_t>(elapsed.count()));
        if (status == 0) {
            continue;
        }
        // Told apart only by the number: a master call that answers 15 reads
        // as a time-out here too.
        if (status == kMasterTimeout) {
            std::printf(
                "*         STATE CHANGE ERROR. The state change request has timed out and "
                "processing has been aborted. \n");
        } else {
            std::printf(
                "*         STATE CHANGE ERROR. An error occurred in the ZU API call, please check "
                "the status code details from the ZU API help. Kestro-ECAT-StatusCode[%04XH]\n",
                static_cast<unsigned>(status));
        }
        return status;
    }
    return 0;
}
