#include <gtest/gtest.h>

#include "check/bus_check.h"
#include "tests/check/capture.h"
#include "tests/check/fake_master.h"

namespace {

const std::string kHeader = "* \n* STEP 1: EtherCAT network open check...\n";

struct OpenCase {
    std::uint16_t status;
    const char* line;
};

const OpenCase kOpenCases[] = {
    {0, "*         SUCCESS.\n"},
    {39, "*         SUCCESS.\n"},
    {5,
     "*         OPEN ERROR. The maximum number of openings has been reached and no more can be "
     "opened. Kestro-ECAT-StatusCode[0005H]\n"},
    {8,
     "*         OPEN ERROR. Kestro-ECAT-Master driver not found. Kestro-ECAT-StatusCode[0008H]\n"},
    {9,
     "*         OPEN ERROR. Kestro-ECAT-Master driver not found. Kestro-ECAT-StatusCode[0009H]\n"},
    {15,
     "*         OPEN ERROR. Timed out because no response was returned from the open request. "
     "Kestro-ECAT-StatusCode[000FH]\n"},
    {17,
     "*         ENI-File ERROR.  The number of slaves defined in the ENI file is 0. One or more "
     "EtherCAT slave definitions are required. Kestro-ECAT-StatusCode[0011H]\n"},
    {54,
     "*         OPEN ERROR. Failed to get the total number of EtherCAT slaves. Connection to the "
     "EtherCAT slave may have been broken during open. Kestro-ECAT-StatusCode[0036H]\n"},
    {65,
     "*         OPEN ERROR. Processing of the object catalog failed; check the INtime object "
     "directory and the number of GDT slots in INtime. Kestro-ECAT-StatusCode[0041H]\n"},
    {1,
     "*         OPEN ERROR. An error occurred during the open process, please check the status "
     "code details from the ZU API help. Kestro-ECAT-StatusCode[0001H]\n"},
    {66,
     "*         OPEN ERROR. An error occurred during the open process, please check the status "
     "code details from the ZU API help. Kestro-ECAT-StatusCode[0042H]\n"},
    {0x1006,
     "*         OPEN ERROR. An error occurred during the open process, please check the status "
     "code details from the ZU API help. Kestro-ECAT-StatusCode[1006H]\n"},
    {0xFFFF,
     "*         OPEN ERROR. An error occurred during the open process, please check the status "
     "code details from the ZU API help. Kestro-ECAT-StatusCode[FFFFH]\n"},
};

TEST(CheckNetworkOpen, PrintsTheLineOfEachOpenStatus) {
    for (const OpenCase& c : kOpenCases) {
        SCOPED_TRACE(c.status);
        ResetFakes();
        fakeMaster.openStatus = c.status;
        MasterHandle handle = 0xDEAD;
        std::uint16_t result = 0xEEEE;
        const std::string report = CaptureReport([&] { result = CheckNetworkOpen(&handle); });

        const bool usable = c.status == 0 || c.status == 39;
        EXPECT_EQ(report, kHeader + c.line);
        EXPECT_EQ(result, usable ? 0 : c.status);
        // The handle is handed on only when the connection is usable.
        EXPECT_EQ(handle, usable ? fakeMaster.openHandle : 0xDEADu);
        EXPECT_EQ(fakeMaster.openedTarget, "local");
        EXPECT_EQ(fakeMaster.openConnections, usable ? 1 : 0);  // left open for the steps
    }
}

TEST(CheckNetworkOpen, AnOpenThatWritesNoStatusCountsAsSuccess) {
    ResetFakes();
    fakeMaster.openWritesStatus = false;
    MasterHandle handle = 0;
    std::uint16_t result = 1;
    const std::string report = CaptureReport([&] { result = CheckNetworkOpen(&handle); });
    EXPECT_EQ(report, kHeader + "*         SUCCESS.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(handle, fakeMaster.openHandle);
}

}  // namespace
