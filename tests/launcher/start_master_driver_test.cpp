#include "launcher/start_master_driver.h"

#include <string>
#include <vector>

#include "tests/launcher/launcher_test_support.h"

namespace {

using Calls = std::vector<std::string>;

enum class Entry { kNone, kRunning, kStale };

struct StartCase {
    const char* name;
    std::string eni;
    Entry entry;
    std::vector<unsigned char> record;  // the running driver's; empty: none; or kStaleRecord
    fake::Script script;
    std::string iniFile;
    std::uint32_t leftOverError;  // GetLastRtError before the launch
    Calls calls;
    std::uint32_t result;
    std::string out;
    bool oldDriverRuns;
};

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Calls kLook = {"ThreadHandles(3)", "Lookup(root, PRCS_LOMADYN, 0)"};
const Calls kAllocate = {"Allocate(4096)"};
const Calls kReadOld = {"Allocate(4096)", "Lookup(driver, R?H$C$NAME, 0)"};
const Calls kStop = {"Terminate(driver, 0, 250)", "Sleep(250)"};
const Calls kUncatalog = {"Uncatalog(root, PRCS_LOMADYN)"};
const Calls kWaitEntry = {"Lookup(root, PRCS_LOMADYN, 30000)"};
const Calls kWaitInit = {"Lookup(new, ZU?END_INIT, 30000)"};

// The launch: the path buffer, a look at the driver entry (a stale one is
// removed, a live one never), the start.
Calls Create(const std::string& commandLine, bool staleEntryLeft = false) {
    Calls calls = {"Allocate(4096)", "Lookup(root, PRCS_LOMADYN, 0)"};
    if (staleEntryLeft) {
        calls.push_back("Uncatalog(root, PRCS_LOMADYN)");
    }
    calls.push_back("Create(/opt/master/lomadyn.rta, " + commandLine + ", 0, 0)");
    return calls;
}

fake::Script Failing(std::uint32_t error, int failAllocation = 0,
                     fake::StartBehaviour start = fake::StartBehaviour::kInitialises) {
    fake::Script s;
    s.failureError = error;
    s.failAllocation = failAllocation;
    s.start = start;
    return s;
}

std::string Line(const char* text, unsigned status) {
    char line[160];
    std::snprintf(line, sizeof line, "* ERROR. %s. StatusCode[%04XH]\n", text, status);
    return line;
}

const std::string kIni = "/opt/master/config/master.ini";
const std::string kTooLongEni = "-eni=" + std::string(4089, 'a') + " ";
const auto kOld = fake::Record(12, "-eni=old.xml -sim=s.json -v");
// A record entry that no longer denotes a live object.
const auto kStaleRecord = fake::Record(0, "(stale)");

class StartMasterDriverTest : public LauncherTest {};

TEST_F(StartMasterDriverTest, FollowsTheDecisionTable) {
    using fake::StartBehaviour;
    // clang-format off
    const StartCase cases[] = {
        {"no ENI, driver runs: left alone, its ENI read for the hint", "", Entry::kRunning, kOld,
         {}, kIni, 0, kLook + kReadOld, 0, "", true},
        {"no ENI, stale entry: removed, driver started without options", "", Entry::kStale, {}, {},
         kIni, 0, kLook + kUncatalog + kAllocate + Create("") + kWaitEntry + kWaitInit, 0, "", false},
        {"no ENI, no driver: started without options", "", Entry::kNone, {}, {}, kIni, 0,
         kLook + kAllocate + Create("") + kWaitEntry + kWaitInit, 0, "", false},
        {"ENI, driver runs: replaced, options carried over", "-eni=new.xml", Entry::kRunning, kOld,
         {}, kIni, 0,
         kLook + kReadOld + kAllocate + kStop + Create("-eni=new.xml -sim=s.json -v", true) + kWaitEntry +
             kWaitInit,
         0, "", false},
        {"ENI with blanks replaces a quoted ENI with blanks", "-eni=/my nets/new.xml",
         Entry::kRunning, fake::Record(0, "-eni=\"/old nets/a.xml\" -sim=s.json"), {}, kIni, 0,
         kLook + kReadOld + kAllocate + kStop +
             Create("-eni=\"/my nets/new.xml\" -sim=s.json", true) +
             kWaitEntry + kWaitInit,
         0, "", false},
        {"ENI, stale entry: started with the ENI alone", "-eni=new.xml", Entry::kStale, kOld, {},
         kIni, 0, kLook + kAllocate + Create("-eni=new.xml", true) + kWaitEntry + kWaitInit, 0, "",
         false},
        {"ENI, no driver: started with the ENI alone", "-eni=new.xml", Entry::kNone, {}, {}, kIni, 0,
         kLook + kAllocate + Create("-eni=new.xml") + kWaitEntry + kWaitInit, 0, "", false},

        // Failures before the stop leave the running driver running.
        {"malformed record", "-eni=new.xml", Entry::kRunning, fake::Record(0x80, "-v"), {}, kIni, 0,
         kLook + kReadOld, 0x000C, Line("Memory allocation failed", 0x000C), true},
        {"malformed record after an unrelated earlier failure", "-eni=new.xml", Entry::kRunning,
         fake::Record(0x80, "-v"), {}, kIni, 0x0009,
         kLook + kReadOld, 0x000C, Line("Memory allocation failed", 0x000C), true},
        {"record entry stale", "-eni=new.xml", Entry::kRunning, kStaleRecord, {}, kIni, 0,
         kLook + kReadOld, 0x0003, Line("Memory allocation failed", 0x0003), true},
        {"no record", "-eni=new.xml", Entry::kRunning, {}, Failing(0x0002), kIni, 0,
         kLook + kReadOld, 0x0002, Line("Memory allocation failed", 0x0002), true},
        {"old-line buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 1), kIni,
         0, kLook + kAllocate, 0x0005, Line("Memory allocation failed", 0x0005), true},
        {"new-line buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 2), kIni,
         0, kLook + kReadOld + kAllocate, 0x0005, Line("Memory allocation failed", 0x0005), true},
        {"new line too long", kTooLongEni, Entry::kRunning, kOld, {}, kIni, 0,
         kLook + kReadOld + kAllocate, 0x000C, Line("Driver command line too long", 0x000C), true},

        // Failures after the stop.
        {"path buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 3), kIni, 0,
         kLook + kReadOld + kAllocate + kStop + kAllocate, 0x0005,
         Line("Memory allocation failed", 0x0005), false},
        {"driver path cannot be derived", "-eni=new.xml", Entry::kRunning, kOld, {}, "master.ini", 0,
         kLook + kReadOld + kAllocate + kStop + kAllocate, 33,
         Line("Driver RTA path acquisition failed", 0x21), false},
        {"start refused", "", Entry::kNone, {}, Failing(0x0006, 0, StartBehaviour::kRefused), kIni,
         0, kLook + kAllocate + Create(""), 6, Line("Driver startup failed", 6), false},
        {"start refused, platform reports no error", "", Entry::kNone, {},
         Failing(0, 0, StartBehaviour::kRefused), kIni, 0, kLook + kAllocate + Create(""), 0x0006,
         Line("Driver startup failed", 0x0006), false},
        {"driver never catalogues itself", "", Entry::kNone, {},
         Failing(0x0001, 0, StartBehaviour::kNeverCatalogues), kIni, 0,
         kLook + kAllocate + Create("") + kWaitEntry, 1, Line("Driver initialize failed", 1), false},
        {"driver never ends its initialisation", "-eni=new.xml", Entry::kNone, {},
         Failing(0x0001, 0, StartBehaviour::kNoEndOfInit), kIni, 0,
         kLook + kAllocate + Create("-eni=new.xml") + kWaitEntry + kWaitInit, 1,
         Line("Driver initialize failed", 1), false},
        {"another driver took the name meanwhile: never checked against", "-eni=new.xml",
         Entry::kNone, {}, Failing(0, 0, StartBehaviour::kNameTaken), kIni, 0,
         kLook + kAllocate + Create("-eni=new.xml") + kWaitEntry, 0x000B,
         Line("Driver initialize failed", 0x000B), false},
        {"wait runs out, platform reports no error", "", Entry::kNone, {},
         Failing(0, 0, StartBehaviour::kNeverCatalogues), kIni, 0,
         kLook + kAllocate + Create("") + kWaitEntry, 0x0001, Line("Driver initialize failed", 1),
         false},
    };
    // clang-format on
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::script() = c.script;
        SetIniFile(c.iniFile.c_str());
        fake::SetLastError(c.leftOverError);
        LastStatus = 0;
        RTHANDLE old = BAD_RTHANDLE;
        if (c.entry != Entry::kNone) {
            old = fake::AddProcess("driver", "PRCS_LOMADYN");
            if (!c.record.empty()) {
                RTHANDLE record = fake::AddMemory(c.record);
                fake::Catalog(old, "R?H$C$NAME", record);
                if (c.record == kStaleRecord) {
                    fake::MakeStale(record);
                }
            }
            if (c.entry == Entry::kStale) {
                fake::MakeStale(old);
            }
        }

        testing::internal::CaptureStdout();
        std::uint32_t result = StartMasterDriver(c.eni.c_str());
        std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(LastStatus, c.result);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(fake::Calls(), c.calls);
        EXPECT_EQ(fake::OpenMappings(), 0);
        if (old != BAD_RTHANDLE) {
            EXPECT_EQ(fake::IsLive(old), c.oldDriverRuns);
        }
        if (c.result == 0 && c.entry == Entry::kRunning && c.eni.empty()) {
            EXPECT_EQ(fake::Find(fake::kRoot, "PRCS_LOMADYN"), old);
        }
    }
}

}  // namespace
