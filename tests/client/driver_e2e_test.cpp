// The client library against a real driver process, each test in a node of
// its own.
#include <signal.h>

#include "tests/client/driver_e2e_support.h"

namespace mastere2e {
namespace {

using Steps = std::vector<std::string>;

constexpr const char* kMismatchSim = R"({
  "slaves": [
    { "vendor_id": 2, "product_code": "0x0C1E2C52", "revision_no": "0x00120000" },
    { "vendor_id": 2, "product_code": "0x0B5A3052", "revision_no": "0x00100000" },
    { "vendor_id": 2, "product_code": "0x0C4A3052", "revision_no": "0x00110000", "max_state": 4 }
  ],
  "transition_ms": 300
})";

TEST(DriverE2E, AllEightOperationsRoundTrip) {
    testsupport::TempNode node;
    auto description = WriteTestFile(node, "net.json", kMismatchSim);
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string(),
                                     "-sim=" + description.string(), "-v", "3"});
    ProbeRun probe = Probe(
        node, {"open",   "eni",   "online",     "info",   "4",      "info",    "5", "eeprom",
               "0x8001", "24",    "4",          "eeprom", "0x8000", "20",      "2", "eeprom",
               "0x8003", "16",    "4",          "eeprom", "0x8000", "254",     "4", "request",
               "2",      "state", "wait-state", "2",      "1000",   "request", "8", "wait-state",
               "8",      "1000",  "request",    "9",      "close",  "eni"});
    Steps expected = {
        "open 0 1",
        "eni 0 5",
        "online 0 3",
        "info 0 2 fa03052 140000",
        "info 106 eeeeeeee eeeeeeee eeeeeeee",  // no ENI slave at position 5
        "eeprom 0 100000",                      // slave 1's own revision
        "eeprom 0 2c52",                        // two bytes of slave 0's product code
        "eeprom 106 eeeeeeee",                  // position 3 is not online
        "eeprom 107 eeeeeeee",                  // beyond the EEPROM's 256 bytes
        // 3 slaves where the ENI has 5: the master does not start a network
        // that differs from its ENI, and refuses every state request.
        "request 10d",
        "state 0 1 1",
        "wait-state 0 1",
        "request 10d",
        "wait-state 0 1",
        "request 108",
        "close 0",
        "eni 101 eeee",
    };
    EXPECT_EQ(probe.steps, expected) << probe.run.out << probe.run.err;
    EXPECT_EQ(probe.run.exitCode, 0);
}

TEST(DriverE2E, WithoutDescriptionTheNetworkIsTheEnis) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=\"" + Example("five-slaves.eni.xml").string() + "\""});
    ProbeRun probe =
        Probe(node, {"open", "online", "eeprom", "0x8004", "16", "4", "eeprom", "0x8004", "20", "4",
                     "eeprom", "0x8004", "24", "4", "request", "8", "wait-state", "8", "5000"});
    EXPECT_EQ(probe.steps, (Steps{"open 0 1", "online 0 5", "eeprom 0 2", "eeprom 0 fa03052",
                                  "eeprom 0 140000", "request 0", "wait-state 0 8"}))
        << probe.run.out << probe.run.err;
}

TEST(DriverE2E, InjectedFaults) {
    testsupport::TempNode node;
    auto description = WriteTestFile(node, "faults.json", R"({
      "faults": [
        { "op": "MasterOpen", "status": 39 },
        { "op": "MasterGetEniSlaveCount", "status": "0x0102", "times": 1 },
        { "op": "MasterGetOnlineSlaveCount", "status": 258, "times": 1 },
        { "op": "MasterGetSlaveInfo", "position": 1, "status": "0x1006" },
        { "op": "MasterReadSlaveEeprom", "position": 2, "offset": 16, "status": "0x0301" },
        { "op": "MasterRequestState", "state": 4, "status": 258 },
        { "op": "MasterGetState", "status": 15, "times": 2 },
        { "op": "MasterGetSlaveInfo", "position": 3, "status": 0, "times": 1 }
      ]})");
    auto driver = StartDriver(
        node, {"-eni=" + Example("five-slaves.eni.xml").string(), "-sim=" + description.string()});
    ProbeRun probe = Probe(
        node, {"open", "eni",     "eni",    "online",  "online", "info",   "1",      "info",
               "2",    "eeprom",  "0x8002", "16",      "4",      "eeprom", "0x8002", "20",
               "4",    "request", "4",      "request", "2",      "state",  "state",  "wait-state",
               "2",    "5000",    "state",  "info",    "3",      "info",   "3"});
    EXPECT_EQ(probe.steps,
              (Steps{"open 27 1", "eni 102 eeee", "eni 0 5", "online 102 eeee", "online 0 5",
                     "info 1006 eeeeeeee eeeeeeee eeeeeeee", "info 0 2 c4a3052 110000",
                     "eeprom 301 eeeeeeee", "eeprom 0 c4a3052", "request 102", "request 0",
                     "state f eeee eeee", "state f eeee eeee", "wait-state 0 2", "state 0 2 2",
                     // An injected 0 leaves the record as the caller gave it.
                     "info 0 eeeeeeee eeeeeeee eeeeeeee", "info 0 2 bc43052 150000"}))
        << probe.run.out << probe.run.err;
}

TEST(DriverE2E, AnInjectedOpenStatusOtherThan0Or39Refuses) {
    testsupport::TempNode node;
    auto description = WriteTestFile(
        node, "open.json", R"({"faults": [{"op": "MasterOpen", "status": 54, "times": 1}]})");
    auto driver = StartDriver(
        node, {"-eni=" + Example("five-slaves.eni.xml").string(), "-sim=" + description.string()});
    ProbeRun probe = Probe(node, {"open", "online", "open", "online"});
    EXPECT_EQ(probe.steps, (Steps{"open 36 0", "online 101 eeee", "open 0 1", "online 0 5"}))
        << probe.run.out << probe.run.err;
}

TEST(DriverE2E, OpeningsAreLimitedAcrossProcesses) {
    testsupport::TempNode node;
    auto description = WriteTestFile(node, "limit.json", R"({"max_openings": 2})");
    auto driver = StartDriver(
        node, {"-eni=" + Example("five-slaves.eni.xml").string(), "-sim=" + description.string()});
    fs::path release = node.dir() / "files" / "release";
    std::vector<std::string> holder = {(testsupport::BinDir() / "master_probe").string(),
                                       "open",
                                       "open",
                                       "wait-file",
                                       release.string(),
                                       "online"};
    testsupport::BackgroundProcess first(holder, node.env());
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return first.Out().find("open 0 2") != std::string::npos; }, 15s))
        << first.Out();
    ProbeRun refused = Probe(node, {"open", "online"});
    EXPECT_EQ(refused.steps, (Steps{"open 5 0", "online 101 eeee"})) << refused.run.out;
    testsupport::WriteFile(release, "");
    EXPECT_EQ(first.Wait(15s), 0);
    EXPECT_NE(first.Out().find("online 0 5"), std::string::npos) << first.Out();
    // The holder's openings ended with its process.
    ProbeRun again = Probe(node, {"open", "open", "open"});
    EXPECT_EQ(again.steps, (Steps{"open 0 1", "open 0 2", "open 5 0"})) << again.run.out;
}

TEST(DriverE2E, EniProblemsAnswerTheirOpenStatus) {
    struct Case {
        const char* name;
        std::string eniText;      // empty: no -eni= option
        const char* description;  // null: no -sim= option
        const char* open;
    };
    const Case cases[] = {
        {"malformed ENI", "<EtherCATConfig><Config>", nullptr, "open 105 0"},
        {"not an ENI", "<EtherCATInfo/>", nullptr, "open 105 0"},
        {"ENI without slaves", "<EtherCATConfig><Config/></EtherCATConfig>", nullptr, "open 11 0"},
        {"no ENI option", "", nullptr, "open 11 0"},
        {"bad description", "<EtherCATConfig><Config><Slave/></Config></EtherCATConfig>",
         R"({"slaves": [{"max_state": 3}]})", "open 105 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempNode node;
        std::vector<std::string> options;
        if (!c.eniText.empty()) {
            options.push_back("-eni=" + WriteTestFile(node, "net.xml", c.eniText).string());
        }
        if (c.description)
            options.push_back("-sim=" + WriteTestFile(node, "net.json", c.description).string());
        auto driver = StartDriver(node, options);
        ProbeRun probe = Probe(node, {"open"});
        EXPECT_EQ(probe.steps, (Steps{c.open})) << probe.run.out << driver->Err();
    }
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=/nonexistent/net.xml"});
    EXPECT_EQ(Probe(node, {"open"}).steps, (Steps{"open 105 0"}));
    EXPECT_NE(driver->Err().find("/nonexistent/net.xml"), std::string::npos) << driver->Err();
}

TEST(DriverE2E, NoDriverMeansStatus8) {
    testsupport::TempNode node;
    EXPECT_EQ(Probe(node, {"open", "online", "close", "close"}).steps,
              (Steps{"open 8 0", "online 101 eeee", "close 0", "close 0"}));
}

TEST(DriverE2E, ASecondDriverRefusesToStart) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    auto second = testsupport::Run({(testsupport::BinDir() / "lomadyn.rta").string(),
                                    "-eni=" + Example("five-slaves.eni.xml").string()},
                                   node.env(), 15s);
    EXPECT_NE(second.exitCode, 0);
    EXPECT_FALSE(second.timedOut);
    EXPECT_NE(second.err.find("another master driver is running"), std::string::npos) << second.err;
    EXPECT_TRUE(driver->Running());
    EXPECT_EQ(Probe(node, {"open"}).steps, (Steps{"open 0 1"}));
}

TEST(DriverE2E, ADriverKilledUnderAConnectedClient) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    fs::path go = node.dir() / "files" / "go";
    fs::create_directories(go.parent_path());
    testsupport::BackgroundProcess client(
        {(testsupport::BinDir() / "master_probe").string(), "open", "wait-file", go.string(),
         "state", "online", "close"},
        node.env());
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return client.Out().find("open 0 1") != std::string::npos; }, 15s))
        << client.Out();
    driver->Kill(SIGKILL);
    EXPECT_NE(driver->Wait(10s), -1000);
    testsupport::WriteFile(go, "");
    EXPECT_EQ(client.Wait(15s), 0);
    std::string out = client.Out();
    EXPECT_NE(out.find("state 103 eeee eeee"), std::string::npos) << out;
    EXPECT_NE(out.find("online 103 eeee"), std::string::npos) << out;
}

TEST(DriverE2E, ADriverThatStopsAnsweringRunsIntoTheBounds) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    fs::path go = node.dir() / "files" / "go";
    fs::create_directories(go.parent_path());
    testsupport::BackgroundProcess client({(testsupport::BinDir() / "master_probe").string(),
                                           "open", "wait-file", go.string(), "state", "open"},
                                          node.env());
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return client.Out().find("open 0 1") != std::string::npos; }, 15s))
        << client.Out();
    driver->Kill(SIGSTOP);
    testsupport::WriteFile(go, "");
    EXPECT_EQ(client.Wait(30s), 0);
    driver->Kill(SIGCONT);
    std::istringstream lines(client.Out());
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line))
        got.push_back(line);
    ASSERT_EQ(got.size(), 4u) << client.Out();
    // The call gives up with kMasterCallTimeout, the open with 15, each after 5 s.
    EXPECT_EQ(got[2].rfind("state 102 eeee eeee ms=", 0), 0u) << got[2];
    EXPECT_EQ(got[3].rfind("open f 0 ms=", 0), 0u) << got[3];
    for (int i : {2, 3}) {
        long long ms = std::stoll(got[i].substr(got[i].rfind("ms=") + 3));
        EXPECT_GE(ms, 4900) << got[i];
        EXPECT_LE(ms, 6500) << got[i];
    }
}

TEST(DriverE2E, SigtermRemovesTheDriversEntriesAndExitsZero) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    EXPECT_EQ(Probe(node, {"open"}).steps, (Steps{"open 0 1"}));
    driver->Kill(SIGTERM);
    EXPECT_EQ(driver->Wait(5s), 0) << driver->Err();
    EXPECT_EQ(Probe(node, {"open"}).steps, (Steps{"open 8 0"}));
    // A new driver starts without complaint.
    auto next = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    EXPECT_EQ(Probe(node, {"open"}).steps, (Steps{"open 0 1"}));
}

TEST(DriverE2E, SigtermLeavesANewerDriversEntryAlone) {
    testsupport::TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml").string()});
    fs::path go = node.dir() / "files" / "go";
    fs::create_directories(go.parent_path());
    // The probe stands in for a newer driver that has taken the entry over.
    testsupport::BackgroundProcess newer(
        {(testsupport::BinDir() / "master_probe").string(), "take-driver-entry", "wait-file",
         go.string(), "lookup-driver"},
        node.env());
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return newer.Out().find("take-driver-entry 0") != std::string::npos; }, 15s))
        << newer.Out();
    driver->Kill(SIGTERM);
    EXPECT_EQ(driver->Wait(5s), 0);
    testsupport::WriteFile(go, "");
    EXPECT_EQ(newer.Wait(15s), 0);
    EXPECT_NE(newer.Out().find("lookup-driver 0"), std::string::npos) << newer.Out();
}

TEST(DriverE2E, ANodeFolderLongerThanASocketPath) {
    testsupport::TempNode node;
    fs::path deep = node.dir();
    while (deep.string().size() < 180)
        deep /= "nested-node-folder";
    fs::create_directories(deep);
    testsupport::Env env = {{"RT_NODE_DIR", deep.string()}};
    testsupport::BackgroundProcess driver({(testsupport::BinDir() / "lomadyn.rta").string(),
                                           "-eni=" + Example("five-slaves.eni.xml").string()},
                                          env);
    auto probe = testsupport::Run(
        {(testsupport::BinDir() / "master_probe").string(), "wait-init", "15000", "open", "online"},
        env, 30s);
    EXPECT_NE(probe.out.find("wait-init 0"), std::string::npos) << probe.out << driver.Err();
    EXPECT_NE(probe.out.find("open 0 1"), std::string::npos) << probe.out << driver.Err();
    EXPECT_NE(probe.out.find("online 0 5"), std::string::npos) << probe.out;
}

}  // namespace
}  // namespace mastere2e
