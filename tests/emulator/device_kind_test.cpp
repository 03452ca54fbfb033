// The two kinds of emulated device against AL control writes: a terminal
// without a mailbox is an ESC with device emulation (AL status copies AL
// control; only requests that skip a state, the state limit and the SM
// watchdog set the error flag), and a slave with a mailbox accepts SAFEOP
// when its process-data SMs are as long as the PDOs its dictionary assigns
// and an FMMU reaches each.
#include <gtest/gtest.h>

#include <functional>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

void Write(Segment& s, std::uint16_t ado, const char* hex) {
    Exchange(s, 2, 0, ado, Hex(hex));
}

// An 8-channel digital output terminal as exports describe it: no mailbox,
// outputs through SM0 (0x0F00, 1 byte, buffered, master writes, watchdog),
// which the export enables only in SAFEOP -> OP.
eni::Slave DigitalOutputTerminal() {
    eni::Slave s;
    s.name = "Term 3 (DO-2808)";
    s.identity = {0x00000002, 0x0AF83052, 0x00100000};
    eni::ProcessData pd;
    pd.sms = {eni::SyncManager{0, eni::SmType::kOutputs, 0x0F00, 0x44, true, 1, {0x1600}}};
    pd.rxPdos = {eni::Pdo{0x1600, "Channel 1", true, 0, {{0x7000, 1, 8, "Outputs", "USINT"}}}};
    s.processData = pd;
    return s;
}

// Device emulation in the state `from`, reached with plain requests.
void Mirror(Segment& s, std::uint16_t from) {
    for (const std::uint16_t state : {0x02, 0x04, 0x08}) {
        if (state <= from)
            RequestState(s, 0, state);
    }
}

// Outputs through SM0, then 101 ms without any: the watchdog (100 ms) expires.
void WatchdogExpires(Segment& s, const FakeClock& clock) {
    Write(s, 0x0800, "00 0f 01 00 44 00 01 00");
    Write(s, 0x0f00, "ff");
    clock.AdvanceMs(60);
    Write(s, 0x0f00, "0f");
    clock.AdvanceMs(101);
}

struct MirrorCase {
    const char* what;
    const char* description;
    std::uint16_t from;
    std::function<void(Segment&, const FakeClock&)> prepare;  // after reaching `from`
    std::uint16_t control;
    std::uint16_t status;
    std::uint16_t code;
};

void RefuseOp(Segment& s, const FakeClock&) {
    RequestState(s, 0, 0x08);  // from PREOP: skips SAFEOP
}

const MirrorCase kMirrorCases[] = {
    {"INIT -> PREOP", "{}", 1, nullptr, 0x02, 0x02, 0},
    {"the acknowledge bit is copied too", "{}", 1, nullptr, 0x12, 0x12, 0},
    {"INIT with the acknowledge bit", "{}", 2, nullptr, 0x11, 0x11, 0},
    {"PREOP -> SAFEOP with the outputs SM still disabled", "{}", 2, nullptr, 0x04, 0x04, 0},
    {"SAFEOP -> OP without outputs", "{}", 4, nullptr, 0x08, 0x08, 0},
    {"OP -> INIT", "{}", 8, nullptr, 0x01, 0x01, 0},
    {"INIT -> SAFEOP skips PREOP", "{}", 1, nullptr, 0x04, 0x11, 0x0011},
    {"PREOP -> OP", "{}", 2, nullptr, 0x08, 0x12, 0x0011},
    {"INIT -> BOOT without a bootstrap mailbox", "{}", 1, nullptr, 0x03, 0x11, 0x0013},
    {"an unknown state", "{}", 2, nullptr, 0x05, 0x12, 0x0012},
    {"past the state limit", R"({"slaves": [{"max_state": 2, "refusal_code": "0x001D"}]})", 2,
     nullptr, 0x04, 0x12, 0x001D},
    {"a refusal holds against a request without acknowledge", "{}", 2, RefuseOp, 0x04, 0x12,
     0x0011},
    {"the acknowledge clears it and shows without its bit", "{}", 2, RefuseOp, 0x14, 0x04, 0},
    {"a request for INIT clears it too", "{}", 2, RefuseOp, 0x01, 0x01, 0},
    {"the SM watchdog drops OP to SAFEOP", "{}", 8, WatchdogExpires, 0x08, 0x14, 0x001B},
    {"and holds it until acknowledged", "{}", 8, WatchdogExpires, 0x18, 0x08, 0},
    {"outputs in time keep OP", "{}", 8,
     [](Segment& s, const FakeClock& clock) {
         WatchdogExpires(s, clock);
         RequestState(s, 0, 0x18);
         Write(s, 0x0f00, "01");
         clock.AdvanceMs(90);
     },
     0x08, 0x08, 0},
};

TEST(DeviceKinds, AnEscWithoutMailboxCopiesAlControl) {
    for (const MirrorCase& c : kMirrorCases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        auto segment = MakeSegment({DigitalOutputTerminal()}, clock, c.description);
        // The EEPROM's PDI control word loads device emulation into 0x0141.
        EXPECT_EQ(Exchange(*segment, 1, 0, 0x0140, Zeros(2)).data, Hex("00 01"));
        Mirror(*segment, c.from);
        ASSERT_EQ(AlStatus(*segment, 0), c.from);
        if (c.prepare)
            c.prepare(*segment, clock);
        RequestState(*segment, 0, c.control);
        EXPECT_EQ(AlStatus(*segment, 0), c.status);
        EXPECT_EQ(AlCode(*segment, 0), c.code);
    }
}

struct SafeOpCase {
    const char* what;
    const char* description;
    std::function<void(Segment&)> prepare;  // in PREOP, before the SAFEOP request
    std::uint16_t status;
    std::uint16_t code;
};

// SM2 and SM3 of these lengths at MailboxSlave()'s addresses.
std::string ProcessSms(unsigned outputs, unsigned inputs) {
    char text[64];
    std::snprintf(text, sizeof text, "00 11 %02x 00 64 00 01 00 80 11 %02x 00 20 00 01 00", outputs,
                  inputs);
    return text;
}

void Program(Segment& s, unsigned outputs, unsigned inputs, bool outputFmmu = true) {
    Write(s, 0x0810, ProcessSms(outputs, inputs).c_str());
    if (outputFmmu)
        Write(s, 0x0600, kOutputFmmu);
    Write(s, 0x0610, kInputFmmu);
}

// SDO downloads laid out by the SDO table: 0x1C12:00 = 0 (expedited, one byte)
// and 0x1C12 = {0x1600} by complete access.
const char* kClearOutputs = "0a 00 00 00 00 13 00 20 2f 12 1c 00 00 00 00 00";
const char* kAssignOutputs = "0e 00 00 00 00 23 00 20 31 12 1c 00 04 00 00 00 01 00 00 16";

const SafeOpCase kSafeOpCases[] = {
    {"the SMs as the dictionary assigns, without downloads", "{}",
     [](Segment& s) { Program(s, 2, 2); }, 0x04, 0},
    {"the outputs SM longer than its PDOs", "{}", [](Segment& s) { Program(s, 3, 2); }, 0x12,
     0x001D},
    {"the inputs SM shorter than its PDOs", "{}", [](Segment& s) { Program(s, 2, 1); }, 0x12,
     0x001E},
    {"no FMMU for the outputs", "{}", [](Segment& s) { Program(s, 2, 2, false); }, 0x12, 0x001D},
    {"the master cleared the outputs' assignment but kept SM2", "{}",
     [](Segment& s) {
         MailboxExchange(s, 0, Hex(kClearOutputs));
         Program(s, 2, 2);
     },
     0x12, 0x001D},
    {"the master cleared the outputs' assignment and SM2", "{}",
     [](Segment& s) {
         MailboxExchange(s, 0, Hex(kClearOutputs));
         Program(s, 0, 2, false);
     },
     0x04, 0},
    {"described defaults without outputs, the master skips the downloads",
     R"({"slaves": [{"pdo_defaults": {"outputs": []}}]})", [](Segment& s) { Program(s, 2, 2); },
     0x12, 0x001D},
    {"described defaults without outputs, the master downloads the assignment",
     R"({"slaves": [{"pdo_defaults": {"outputs": []}}]})",
     [](Segment& s) {
         MailboxExchange(s, 0, Hex(kAssignOutputs));
         Program(s, 2, 2);
     },
     0x04, 0},
    {"described defaults with twice the inputs",
     R"({"slaves": [{"pdo_defaults": {"inputs": ["0x1A00", 6656]}}]})",
     [](Segment& s) { Program(s, 2, 2); }, 0x12, 0x001E},
    {"... and SM3 as long as they are",
     R"({"slaves": [{"pdo_defaults": {"inputs": ["0x1A00", 6656]}}]})",
     [](Segment& s) { Program(s, 2, 4); }, 0x04, 0},
    {"described defaults naming a PDO the slave does not map",
     R"({"slaves": [{"pdo_defaults": {"outputs": ["0x1605"]}}]})",
     [](Segment& s) { Program(s, 2, 2); }, 0x12, 0x001D},
};

TEST(DeviceKinds, SafeOpFollowsTheAssignedPdos) {
    for (const SafeOpCase& c : kSafeOpCases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        auto segment = MakeSegment({MailboxSlave()}, clock, c.description);
        BringUp(*segment, 0, 2);
        ASSERT_EQ(AlStatus(*segment, 0), 2);
        c.prepare(*segment);
        RequestState(*segment, 0, 0x04);
        EXPECT_EQ(AlStatus(*segment, 0), c.status);
        EXPECT_EQ(AlCode(*segment, 0), c.code);
    }
}

}  // namespace
}  // namespace parvane::emulator::test
