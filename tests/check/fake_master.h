// A scripted master for the check steps' unit tests: the eight operations,
// answering from the fields below and keeping what a real master would be
// left with. The clock is the fake one (fake_clock.h), so state changes take
// fake time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/master_api.h"

struct FakeSlave {
    // What MasterGetSlaveInfo reports from the ENI.
    std::uint32_t eniVendor = 0, eniProduct = 0, eniRevision = 0;
    std::uint16_t infoStatus = 0;  // a non-zero status leaves the record as given
    // The EEPROM's vendor ID, product code, revision number (offsets 16, 20, 24)
    // and the status each read of them answers.
    std::uint32_t eeprom[3] = {0, 0, 0};
    std::uint16_t eepromStatus[3] = {0, 0, 0};
    int infoCalls = 0, eepromReads = 0;  // what was asked about this slave
};

// A slave whose EEPROM matches its ENI identity.
FakeSlave MatchingSlave(std::uint32_t vendor, std::uint32_t product, std::uint32_t revision);

struct FakeMaster {
    MasterHandle openHandle = 0x51;
    std::uint16_t openStatus = 0;
    bool openWritesStatus = true;

    std::uint16_t eniCount = 0, onlineCount = 0;
    std::uint16_t eniCountStatus = 0, onlineCountStatus = 0;

    std::vector<FakeSlave> slaves;  // by position; other positions answer 0x0106

    // The network's state follows a request after transitionMs of fake time,
    // up to maxState (Init is always reached).
    std::uint16_t state = kEcStateInit;
    std::uint16_t maxState = kEcStateOp;
    std::uint32_t transitionMs = 0;
    std::uint16_t requestStatus = 0;   // answered by requests for failState (0: every state)
    std::uint16_t getStateStatus = 0;  // answered by queries while the target is failState
    std::uint16_t failState = 0;

    // Recorded: the target opened, the connections left open, calls on a
    // handle that is not open, and the fake times of the state requests.
    std::string openedTarget;
    int openConnections = 0, strayCalls = 0;
    std::vector<std::uint64_t> requestTimes;

    // Internal: the state under way and when it was first requested.
    std::uint16_t pending = 0;
    std::uint64_t pendingSince = 0;
};

extern FakeMaster fakeMaster;

// Fresh master and clock for the next test.
void ResetFakes();
