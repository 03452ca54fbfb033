#include <gtest/gtest.h>

#include "check/bus_check.h"
#include "tests/check/capture.h"
#include "tests/check/fake_master.h"

namespace {

const std::string kHeader = "* \n* STEP 3: Comparison of slave information...\n";

std::uint16_t RunStep(std::uint16_t eniCount, std::string* report) {
    std::uint16_t result = 0xEEEE;
    *report = CaptureReport([&] { result = CompareSlaveIdentities(0x51, eniCount, 0); });
    return result;
}

TEST(CompareSlaveIdentities, MatchingSlavesPrintNothingAndReadTheIdentityOffsets) {
    ResetFakes();
    fakeMaster.slaves = {MatchingSlave(2, 0x044C2C52, 0x00110000),
                         MatchingSlave(2, 0x03EC3052, 0x00100000)};
    std::string report;
    EXPECT_EQ(RunStep(2, &report), 0);
    // The fake answers only by position, at offsets 16, 20 and 24, with the
    // bytes asked for: a read elsewhere or shorter shows as a warning.
    EXPECT_EQ(report, kHeader);
}

TEST(CompareSlaveIdentities, NoSlavesInTheEniGivesOnlyTheHeader) {
    ResetFakes();
    std::string report;
    EXPECT_EQ(RunStep(0, &report), 0);
    EXPECT_EQ(report, kHeader);  // a slave asked for answers 0x0106: an error line
}

TEST(CompareSlaveIdentities, WarningsComeInOrderAndDoNotFailTheStep) {
    ResetFakes();
    FakeSlave differs = MatchingSlave(2, 0x07D43052, 0x00120000);
    differs.eeprom[1] = 0x07D53052;
    differs.eeprom[2] = 0x00130000;
    FakeSlave unavailable = MatchingSlave(2, 0x0BBC3052, 0x00100000);
    unavailable.infoStatus = 0x1006;  // the record stays zero
    FakeSlave unreadable = MatchingSlave(2, 0x0FA03052, 0x00100000);
    unreadable.eepromStatus[0] = 0x0301;
    FakeSlave unreadableZero = MatchingSlave(0, 0, 0);
    unreadableZero.eepromStatus[2] = 0x0301;  // the ENI value is 0: no mismatch line
    fakeMaster.slaves = {MatchingSlave(2, 0x044C2C52, 0x00110000), differs, unavailable, unreadable,
                         unreadableZero};

    std::string report;
    EXPECT_EQ(RunStep(5, &report), 0);
    EXPECT_EQ(report,
              kHeader +
                  "*         Slave 1: \n"
                  "*               WARNING.  ProductCode      mismatch. ENI[07D43052H], "
                  "Online[07D53052H]\n"
                  "*               WARNING.  RevisionNo       mismatch. ENI[00120000H], "
                  "Online[00130000H]\n"
                  "*         WARNING. Slave information acquisition failed. Slave-number[2]\n"
                  "*         Slave 2: \n"
                  "*               WARNING.  VendorID         mismatch. ENI[00000000H], "
                  "Online[00000002H]\n"
                  "*               WARNING.  ProductCode      mismatch. ENI[00000000H], "
                  "Online[0BBC3052H]\n"
                  "*               WARNING.  RevisionNo       mismatch. ENI[00000000H], "
                  "Online[00100000H]\n"
                  "*         Slave 3: \n"
                  "*               WARNING.  EEPROM read failed. Kestro-ECAT-StatusCode[0301H]\n"
                  "*               WARNING.  VendorID         mismatch. ENI[00000002H], "
                  "Online[00000000H]\n"
                  "*         Slave 4: \n"
                  "*               WARNING.  EEPROM read failed. Kestro-ECAT-StatusCode[0301H]\n");
}

TEST(CompareSlaveIdentities, AFailedInformationCallEndsTheStep) {
    ResetFakes();
    FakeSlave broken = MatchingSlave(2, 3, 4);
    broken.infoStatus = 0x0103;
    fakeMaster.slaves = {MatchingSlave(2, 3, 4), broken, MatchingSlave(2, 3, 4)};
    std::string report;
    EXPECT_EQ(RunStep(3, &report), 0x0103);
    EXPECT_EQ(report, kHeader +
                          "*         ZU API ERROR. An error occurred in the ZU API call, please "
                          "check the status code details from the ZU API help. "
                          "Kestro-ECAT-StatusCode[0103H]\n");
    // Slave 2 is never visited; slave 1's EEPROM is not read.
    EXPECT_EQ(fakeMaster.slaves[1].eepromReads + fakeMaster.slaves[2].infoCalls, 0);
}

}  // namespace
