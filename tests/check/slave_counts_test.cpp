#include <gtest/gtest.h>

#include "check/bus_check.h"
#include "tests/check/capture.h"
#include "tests/check/fake_master.h"

namespace {

const std::string kHeader = "* \n* STEP 2: Comparison of number of slaves...\n";
const std::string kApiError =
    "*         ZU API ERROR. An error occurred in the ZU API call, please check the status code "
    "details from the ZU API help. Kestro-ECAT-StatusCode[0102H]\n";

struct CountCase {
    const char* what;
    std::uint16_t eni, online, eniStatus, onlineStatus;
    std::string lines;
    std::uint16_t result, eniOut, onlineOut;  // 0xAAAA: left untouched
};

const CountCase kCountCases[] = {
    {"equal", 3, 3, 0, 0, "*         SUCCESS. ENI-Slaves count[3] Online-Slaves count[3] \n", 0, 3,
     3},
    {"different", 5, 2, 0, 0,
     "*         WARNING. The number of slaves did not match. \n"
     "*                  ENI-Slaves count[5] Online-Slaves count[2] \n",
     0, 5, 2},
    {"large counts in decimal", 40000, 65535, 0, 0,
     "*         WARNING. The number of slaves did not match. \n"
     "*                  ENI-Slaves count[40000] Online-Slaves count[65535] \n",
     0, 40000, 65535},
    {"ENI count fails", 5, 2, 0x0102, 0, kApiError, 0x0102, 0xAAAA, 0xAAAA},
    {"online count fails", 5, 2, 0, 0x0102, kApiError, 0x0102, 5, 0xAAAA},
};

TEST(CompareSlaveCounts, ReportsCountsAndFailures) {
    for (const CountCase& c : kCountCases) {
        SCOPED_TRACE(c.what);
        ResetFakes();
        fakeMaster.eniCount = c.eni;
        fakeMaster.onlineCount = c.online;
        fakeMaster.eniCountStatus = c.eniStatus;
        fakeMaster.onlineCountStatus = c.onlineStatus;
        std::uint16_t eniOut = 0xAAAA, onlineOut = 0xAAAA, result = 0xEEEE;
        const std::string report =
            CaptureReport([&] { result = CompareSlaveCounts(7, &eniOut, &onlineOut); });
        EXPECT_EQ(report, kHeader + c.lines);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(eniOut, c.eniOut);
        EXPECT_EQ(onlineOut, c.onlineOut);
    }
}

}  // namespace
