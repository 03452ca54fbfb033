#include "launcher/start_master_driver.h"

#include <string>
#include <vector>

#include "tests/launcher/launcher_test_support.h"

namespace {

enum class Entry { kNone, kRunning, kStale };

// What the launcher leaves: the driver it started (or tried to), the fake time
// it took (the pause after a stop, the waits that ran out), its status and
// line, and which driver runs under the name afterwards.
struct StartCase {
    const char* name;
    std::string eni;
    Entry entry;
    std::vector<unsigned char> record;  // the running driver's; empty: none; or kStaleRecord
    fake::Script script;
    std::string iniFile;
    std::uint32_t leftOverError;  // GetLastRtError before the launch
    const char* started;          // its command line; nullptr: none started
    std::uint64_t ms;
    std::uint32_t result;
    std::string out;
    const char* runs;  // "driver" (the old one), "new", "other", "": none
};

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
         {}, kIni, 0, nullptr, 0, 0, "", "driver"},
        {"no ENI, stale entry: removed, driver started without options", "", Entry::kStale, {}, {},
         kIni, 0, "", 0, 0, "", "new"},
        {"no ENI, no driver: started without options", "", Entry::kNone, {}, {}, kIni, 0, "", 0, 0,
         "", "new"},
        {"ENI, driver runs: replaced, options carried over", "-eni=new.xml", Entry::kRunning, kOld,
         {}, kIni, 0, "-eni=new.xml -sim=s.json -v", 250, 0, "", "new"},
        {"ENI with blanks replaces a quoted ENI with blanks", "-eni=/my nets/new.xml",
         Entry::kRunning, fake::Record(0, "-eni=\"/old nets/a.xml\" -sim=s.json"), {}, kIni, 0,
         "-eni=\"/my nets/new.xml\" -sim=s.json", 250, 0, "", "new"},
        {"ENI, stale entry: started with the ENI alone", "-eni=new.xml", Entry::kStale, kOld, {},
         kIni, 0, "-eni=new.xml", 0, 0, "", "new"},
        {"ENI, no driver: started with the ENI alone", "-eni=new.xml", Entry::kNone, {}, {}, kIni, 0,
         "-eni=new.xml", 0, 0, "", "new"},

        // Failures before the stop leave the running driver running.
        {"malformed record", "-eni=new.xml", Entry::kRunning, fake::Record(0x80, "-v"), {}, kIni, 0,
         nullptr, 0, 0x000C, Line("Memory allocation failed", 0x000C), "driver"},
        {"malformed record after an unrelated earlier failure", "-eni=new.xml", Entry::kRunning,
         fake::Record(0x80, "-v"), {}, kIni, 0x0009, nullptr, 0, 0x000C,
         Line("Memory allocation failed", 0x000C), "driver"},
        {"record entry stale", "-eni=new.xml", Entry::kRunning, kStaleRecord, {}, kIni, 0, nullptr,
         0, 0x0003, Line("Memory allocation failed", 0x0003), "driver"},
        {"no record", "-eni=new.xml", Entry::kRunning, {}, Failing(0x0002), kIni, 0, nullptr, 0,
         0x0002, Line("Memory allocation failed", 0x0002), "driver"},
        {"old-line buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 1), kIni,
         0, nullptr, 0, 0x0005, Line("Memory allocation failed", 0x0005), "driver"},
        {"new-line buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 2), kIni,
         0, nullptr, 0, 0x0005, Line("Memory allocation failed", 0x0005), "driver"},
        {"new line too long", kTooLongEni, Entry::kRunning, kOld, {}, kIni, 0, nullptr, 0, 0x000C,
         Line("Driver command line too long", 0x000C), "driver"},

        // Failures after the stop.
        {"path buffer refused", "-eni=new.xml", Entry::kRunning, kOld, Failing(0x0005, 3), kIni, 0,
         nullptr, 250, 0x0005, Line("Memory allocation failed", 0x0005), ""},
        {"driver path cannot be derived", "-eni=new.xml", Entry::kRunning, kOld, {}, "master.ini", 0,
         nullptr, 250, 33, Line("Driver RTA path acquisition failed", 0x21), ""},
        {"start refused", "", Entry::kNone, {}, Failing(0x0006, 0, StartBehaviour::kRefused), kIni,
         0, "", 0, 6, Line("Driver startup failed", 6), ""},
        {"start refused, platform reports no error", "", Entry::kNone, {},
         Failing(0, 0, StartBehaviour::kRefused), kIni, 0, "", 0, 0x0006,
         Line("Driver startup failed", 0x0006), ""},
        {"driver never catalogues itself", "", Entry::kNone, {},
         Failing(0x0001, 0, StartBehaviour::kNeverCatalogues), kIni, 0, "", 30000, 1,
         Line("Driver initialize failed", 1), ""},
        {"driver never ends its initialisation", "-eni=new.xml", Entry::kNone, {},
         Failing(0x0001, 0, StartBehaviour::kNoEndOfInit), kIni, 0, "-eni=new.xml", 30000, 1,
         Line("Driver initialize failed", 1), "new"},
        {"another driver took the name meanwhile: never checked against", "-eni=new.xml",
         Entry::kNone, {}, Failing(0, 0, StartBehaviour::kNameTaken), kIni, 0, "-eni=new.xml", 0,
         0x000B, Line("Driver initialize failed", 0x000B), "other"},
        {"wait runs out, platform reports no error", "", Entry::kNone, {},
         Failing(0, 0, StartBehaviour::kNeverCatalogues), kIni, 0, "", 30000, 0x0001,
         Line("Driver initialize failed", 1), ""},
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
        testing::internal::CaptureStderr();
        std::uint32_t result = StartMasterDriver(c.eni.c_str());
        std::string err = testing::internal::GetCapturedStderr();
        std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(LastStatus, c.result);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(fake::NowMs(), c.ms);
        EXPECT_EQ(fake::StartedProcesses().size(), c.started != nullptr ? 1u : 0u);
        for (const fake::Started& s : fake::StartedProcesses()) {
            EXPECT_EQ(s.path, "/opt/master/lomadyn.rta");
            EXPECT_EQ(s.commandLine, c.started);
            EXPECT_FALSE(s.besideLiveDriver);              // never two drivers
            EXPECT_GE(s.msSinceStop.value_or(250), 250u);  // a pause after a stop
        }
        const RTHANDLE holder = fake::Find(fake::kRoot, "PRCS_LOMADYN");
        EXPECT_EQ(fake::IsLive(holder) ? fake::Label(holder) : "", c.runs);
        EXPECT_EQ(fake::OpenMappings(), 0);
        if (old != BAD_RTHANDLE) {
            EXPECT_EQ(fake::IsLive(old), std::string(c.runs) == "driver");
        }
        if (c.result == 0 && c.entry == Entry::kRunning && c.eni.empty()) {
            EXPECT_EQ(err, "parvane: using the running driver's ENI: old.xml\n");
        }
    }
}

}  // namespace
