#include <gtest/gtest.h>

#include "check/bus_check.h"
#include "tests/check/capture.h"
#include "tests/check/fake_clock.h"
#include "tests/check/fake_master.h"

namespace {

const std::string kHeader = "* \n* STEP 4: Confirmation of state-change...\n";
const std::string kPreOp = "*         Attempt to state change to Pre-Operational.\n";
const std::string kSafeOp = "*         Attempt to state change to Safe-Operational.\n";
const std::string kOp = "*         Attempt to state change to Operational.\n";
const std::string kInit = "*         Attempt to state change to Init.\n";
const std::string kSuccess = "*         SUCCESS. \n";
const std::string kFailed = "*         FAILED. \n";
const std::string kTimedOut =
    "*         STATE CHANGE ERROR. The state change request has timed out and processing has "
    "been aborted. \n";

std::string ApiError(const char* code) {
    return std::string(
               "*         ZU API ERROR. An error occurred in the ZU API call, please check the "
               "status code details from the ZU API help. Kestro-ECAT-StatusCode[") +
           code + "H]\n";
}

std::string StepApiError(const char* code) {
    return std::string(
               "*         STATE CHANGE ERROR. An error occurred in the ZU API call, please check "
               "the status code details from the ZU API help. Kestro-ECAT-StatusCode[") +
           code + "H]\n";
}

TEST(ChangeStateAndWait, AStateReachedAtOnceIsSeenAtTheFirstPoll) {
    ResetFakes();
    std::uint16_t result = 0xEEEE;
    const std::string report =
        CaptureReport([&] { result = ChangeStateAndWait(0x51, kEcStatePreOp, 30000); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(report, kSuccess);
    EXPECT_EQ(fakeMaster.requestTimes, std::vector<std::uint64_t>{0});
    EXPECT_EQ(fakeNowMs, 200u);
}

TEST(ChangeStateAndWait, RequestsAgainBeforeEverySixthPollUntilReached) {
    ResetFakes();
    fakeMaster.transitionMs = 2500;  // reached at the query at 2600 ms, the 13th
    std::uint16_t result = 0xEEEE;
    const std::string report =
        CaptureReport([&] { result = ChangeStateAndWait(0x51, kEcStateSafeOp, 30000); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(report, kSuccess);
    // Before polls 1, 7 and 13.
    EXPECT_EQ(fakeMaster.requestTimes, (std::vector<std::uint64_t>{0, 1200, 2400}));
    EXPECT_EQ(fakeNowMs, 2600u);
}

TEST(ChangeStateAndWait, AnAllowanceBelowOnePollGivesFiftyPolls) {
    for (std::uint32_t timeoutMs : {0u, 1u, 199u}) {
        SCOPED_TRACE(timeoutMs);
        ResetFakes();
        fakeMaster.maxState = kEcStateInit;
        std::uint16_t result = 0;
        const std::string report =
            CaptureReport([&] { result = ChangeStateAndWait(0x51, kEcStateOp, timeoutMs); });
        EXPECT_EQ(result, 15);
        EXPECT_EQ(report, kFailed);
        EXPECT_EQ(fakeMaster.requestTimes.size(), 9u);
        EXPECT_EQ(fakeNowMs, 10000u);  // fifty polls
    }
}

// The allowance grows with the ENI slave count; a state never reached uses
// it all and stops the step at Pre-Operational.
TEST(ConfirmStateChanges, AllowanceByEniCountAndTimeOut) {
    struct {
        std::uint16_t eniCount;
        std::uint64_t ms;
        std::size_t requests;
    } const cases[] = {{0, 30000, 25},  {9, 30000, 25},    {10, 60000, 50},
                       {19, 60000, 50}, {20, 120000, 100}, {65535, 120000, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eniCount);
        ResetFakes();
        fakeMaster.maxState = kEcStateInit;
        std::uint16_t result = 0;
        const std::string report =
            CaptureReport([&] { result = ConfirmStateChanges(0x51, c.eniCount, 0); });
        EXPECT_EQ(result, 15);
        EXPECT_EQ(report, kHeader + kPreOp + kFailed + kTimedOut);
        EXPECT_EQ(fakeMaster.requestTimes.size(), c.requests);
        EXPECT_EQ(fakeNowMs, c.ms);
    }
}

TEST(ConfirmStateChanges, GoesUpToOperationalAndBackToInit) {
    ResetFakes();
    fakeMaster.transitionMs = 300;
    std::uint16_t result = 0xEEEE;
    const std::string report = CaptureReport([&] { result = ConfirmStateChanges(0x51, 5, 5); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(report,
              kHeader + kPreOp + kSuccess + kSafeOp + kSuccess + kOp + kSuccess + kInit + kSuccess);
    EXPECT_EQ(fakeMaster.state, kEcStateInit);
    EXPECT_EQ(fakeNowMs, 1600u);  // each state seen at its second poll
}

TEST(ConfirmStateChanges, StopsAtSafeOperationalWhenTheNetworkCannotGoFurther) {
    ResetFakes();
    fakeMaster.maxState = kEcStateSafeOp;
    std::uint16_t result = 0;
    const std::string report = CaptureReport([&] { result = ConfirmStateChanges(0x51, 5, 5); });
    EXPECT_EQ(result, 15);
    EXPECT_EQ(report, kHeader + kPreOp + kSuccess + kSafeOp + kSuccess + kOp + kFailed + kTimedOut);
    EXPECT_EQ(fakeMaster.pending, kEcStateOp);  // Init is never requested
}

TEST(ConfirmStateChanges, FailingMasterCalls) {
    struct {
        const char* what;
        std::uint16_t requestStatus, getStateStatus, failState;
        std::string lines;
        std::uint16_t result;
    } const cases[] = {
        {"request fails at Safe-Operational", 0x0103, 0, kEcStateSafeOp,
         kPreOp + kSuccess + kSafeOp + ApiError("0103") + StepApiError("0103"), 0x0103},
        {"query fails at Operational", 0, 0x0102, kEcStateOp,
         kPreOp + kSuccess + kSafeOp + kSuccess + kOp + ApiError("0102") + StepApiError("0102"),
         0x0102},
        // Told apart from a time-out only by the number.
        {"query answers 15", 0, 15, 0, kPreOp + ApiError("000F") + kTimedOut, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetFakes();
        fakeMaster.requestStatus = c.requestStatus;
        fakeMaster.getStateStatus = c.getStateStatus;
        fakeMaster.failState = c.failState;
        std::uint16_t result = 0;
        const std::string report = CaptureReport([&] { result = ConfirmStateChanges(0x51, 5, 5); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(report, kHeader + c.lines);
    }
}

}  // namespace
