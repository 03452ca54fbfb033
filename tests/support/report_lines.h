// The fixed lines of the tool's report, as the tests expect them.
#pragma once

#include <string>

namespace testsupport {

inline const std::string kBanner =
    "****************************************************************\n"
    "* Parvane 1.0.0.2 \n";
inline const std::string kStep1 = "* \n* STEP 1: EtherCAT network open check...\n";
inline const std::string kStep2 = "* \n* STEP 2: Comparison of number of slaves...\n";
inline const std::string kStep3 = "* \n* STEP 3: Comparison of slave information...\n";
inline const std::string kStep4 = "* \n* STEP 4: Confirmation of state-change...\n";
inline const std::string kOpened = "*         SUCCESS.\n";
inline const std::string kAllStates =
    "*         Attempt to state change to Pre-Operational.\n"
    "*         SUCCESS. \n"
    "*         Attempt to state change to Safe-Operational.\n"
    "*         SUCCESS. \n"
    "*         Attempt to state change to Operational.\n"
    "*         SUCCESS. \n"
    "*         Attempt to state change to Init.\n"
    "*         SUCCESS. \n";
inline const std::string kPassed = "* \n* SUCCESS. All steps have been completed.\n";
inline const std::string kFailedVerdict = "* \n* FAILED.. Step aborted due to error.\n";

}  // namespace testsupport
