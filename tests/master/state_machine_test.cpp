// The state machine on real frames against emulated slaves in this process:
// every ENI walks through all states, a slave's mailbox commands go out
// where the transition needs them, and the failures a commissioning
// engineer must read in the log (a slave count short of Cnt, a Validate
// that times out, a CoE abort, a slave refusing SAFEOP, a slave leaving the
// segment in OP) stop where they should and are logged once.
#include "master/state_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "emulator/description.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "emulator/segment.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/init_commands.h"
#include "tests/support/eni_files.h"
#include "tests/support/kept_log.h"
#include "tests/support/process_harness.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

namespace fs = std::filesystem;
using ecat::AlState;
using Clock = std::chrono::steady_clock;

using Log = testsupport::KeptLog;

// Waits, bounded, until the log has a line with `text`.
bool WaitForLine(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(10)) {
    return testsupport::WaitUntil([&] { return Log::Count(text) > 0; }, limit);
}

// Waits, bounded, until the exchange has sent `frames` more frames.
void WaitForFrames(const Exchange& exchange, std::uint64_t frames) {
    const std::uint64_t until = exchange.counters().framesSent + frames;
    testsupport::WaitUntil([&] { return exchange.counters().framesSent >= until; },
                           std::chrono::seconds(10));
}

// Emulated slaves in a line made of two segments; the second can be
// unplugged and plugged in again, as a cable pulled behind the first.
struct SplitLine {
    std::unique_ptr<emulator::Segment> front;
    std::unique_ptr<emulator::Segment> back;
    std::atomic<bool> plugged{true};
    testsupport::ScriptedLink link{
        [this](const testsupport::Frame& sent, int, std::deque<testsupport::Frame>& arrivals) {
            testsupport::Frame frame = sent;
            if (front->Process(frame) == emulator::FrameOutcome::kAnswered &&
                (!plugged || back->Process(frame) == emulator::FrameOutcome::kAnswered))
                arrivals.push_back(std::move(frame));
        }};
};

// Emulated slaves behind a link that keeps every datagram as it came back
// (a write with what the master wrote, a read with what it read), in order.
struct TracedLine {
    struct Datagram {
        ecat::Command command;
        std::uint16_t adp, ado;
        std::vector<std::uint8_t> data;
    };

    // The datagrams so far, from now on kept anew.
    std::vector<Datagram> Take() {
        std::lock_guard lock(mutex);
        return std::exchange(trace, {});
    }

    std::unique_ptr<emulator::Segment> segment;
    std::mutex mutex;
    std::vector<Datagram> trace;
    testsupport::ScriptedLink link{[this](const testsupport::Frame& sent, int,
                                          std::deque<testsupport::Frame>& arrivals) {
        testsupport::Frame frame = sent;
        ecat::ParsedFrame parsed;
        if (segment->Process(frame) != emulator::FrameOutcome::kAnswered ||
            !ecat::ReadFrame(frame, parsed))
            return;
        std::lock_guard lock(mutex);
        for (const ecat::DatagramView& d : parsed.list())
            trace.push_back({d.command(), d.adp(), d.ado(), {d.data().begin(), d.data().end()}});
        arrivals.push_back(std::move(frame));
    }};
};

StateMachineOptions Options() {
    StateMachineOptions options;
    options.monitorPeriod = std::chrono::milliseconds(20);
    options.realtimeCycle = false;
    return options;
}

ExchangeOptions Quick() {
    ExchangeOptions options;
    options.replyTimeout = std::chrono::microseconds(1000);
    return options;
}

eni::NetworkConfig Load(const fs::path& file) {
    auto eni = eni::ReadEniFile(file);
    EXPECT_TRUE(eni) << file;
    if (!eni)
        return {};
    // TODO: the example clears its analog input terminal's PDO assignment
    // (0x1C13 = 0) and assigns nothing again, so a slave that checks SM3
    // against its assignment refuses SAFEOP with 0x001E; its CoE commands
    // are left out until the example assigns its PDO again.
    if (file.filename() == "five-slaves.eni.xml") {
        for (eni::Slave& slave : eni->config.slaves) {
            if (slave.mailbox)
                std::erase_if(slave.mailbox->coeInitCmds, [](const eni::CoeInitCmd& cmd) {
                    return cmd.index == 0x1C13 && cmd.data == std::vector<std::uint8_t>{0};
                });
        }
    }
    return eni->config;
}

emulator::Description Describe(const char* json) {
    auto description = emulator::ReadDescriptionText(json);
    EXPECT_TRUE(description) << json;
    return description ? *description : emulator::Description{};
}

// The master's side of one test: the wire, the exchange, the slaves found
// at bring-up and the state machine.
struct Master {
    Master(ecat::Link& link, const eni::NetworkConfig& config) : exchange(link, Quick()) {
        auto segment = BringUp(exchange, config);
        EXPECT_TRUE(segment.has_value());
        if (segment)
            machine = std::make_unique<StateMachine>(exchange, config, segment->found(), Options());
    }

    // Requests `target` and waits (bounded) until the walk ends.
    AlState Walk(AlState target) {
        machine->Request(target);
        EXPECT_TRUE(machine->WaitIdle(Clock::now() + std::chrono::seconds(30)));
        return machine->reached();
    }

    Exchange exchange;
    std::unique_ptr<StateMachine> machine;
};

class StateMachineTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure())
            std::fprintf(stderr, "%s", Log::Text().c_str());
    }
    Log log_;
};

const fs::path kFiveSlaves = fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml";
const fs::path kTwoDrives = fs::path(SHARED_CORPUS_DIR) / "leducp_kickcat_drives.xml";

// TODO: these exports run once the ENI reader takes negative revision
// numbers and the emulated segment leaves passive terminals out.
bool NotYetRun(const fs::path& file) {
    const std::string name = file.filename().string();
    return name == "eterpega_march_ii.xml" || name == "eterpega_march_inputdevice.xml" ||
           name == "rcprg_velma_body.xml";
}

std::vector<fs::path> EniFiles() {
    std::vector<fs::path> files = testsupport::XmlFiles({SHARED_SAMPLES_DIR, SHARED_CORPUS_DIR});
    std::erase_if(files, NotYetRun);
    files.insert(files.begin(), kFiveSlaves);
    return files;
}

TEST_F(StateMachineTest, EveryEniReachesEveryState) {
    for (const fs::path& file : EniFiles()) {
        SCOPED_TRACE(file.string());
        const eni::NetworkConfig config = Load(file);
        auto segment = emulator::BuildSegment(config, emulator::Description{});
        emulator::InProcessLink link(*segment);
        Master master(link, config);
        ASSERT_TRUE(master.machine);
        for (AlState target : {AlState::kPreOp, AlState::kSafeOp, AlState::kOp, AlState::kInit}) {
            SCOPED_TRACE(ecat::AlStateName(target));
            EXPECT_EQ(master.Walk(target), target);
            EXPECT_EQ(master.machine->lastOutcome(), WalkOutcome::kReached);
            EXPECT_EQ(master.machine->requested(), target);
        }
        // Down from OP in one step, as the tool's last request does.
        EXPECT_EQ(master.Walk(AlState::kOp), AlState::kOp);
        EXPECT_EQ(master.Walk(AlState::kInit), AlState::kInit);
    }
}

struct OrderCase {
    const char* name;
    eni::Transition t;  // of the slaves' CoE download of 0x6060
    bool fileRequests;  // the file writes AL control and checks AL status; else the master does
    AlState from, to;   // the walk
    bool onceReached;   // the download goes out once the slave shows `to`; else before the request
};

TEST_F(StateMachineTest, MailboxCommandsGoWhereTheTransitionNeedsThem) {
    constexpr auto kIP = eni::Transition::kIP, kPS = eni::Transition::kPS,
                   kOI = eni::Transition::kOI;
    const OrderCase cases[] = {
        {"INIT -> PREOP, the file requests", kIP, true, AlState::kInit, AlState::kPreOp, true},
        {"INIT -> PREOP, the master requests", kIP, false, AlState::kInit, AlState::kPreOp, true},
        {"PREOP -> SAFEOP, the file requests", kPS, true, AlState::kPreOp, AlState::kSafeOp, false},
        {"PREOP -> SAFEOP, the master requests", kPS, false, AlState::kPreOp, AlState::kSafeOp,
         false},
        {"OP -> INIT, the file requests", kOI, true, AlState::kOp, AlState::kInit, false},
        {"OP -> INIT, the master requests", kOI, false, AlState::kOp, AlState::kInit, false},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        eni::NetworkConfig config = Load(kTwoDrives);
        ASSERT_EQ(config.slaves.size(), 2u);
        for (eni::Slave& slave : config.slaves) {
            eni::CoeInitCmd& mode = slave.mailbox->coeInitCmds.at(0);
            ASSERT_EQ(mode.index, 0x6060);
            mode.transitions = {};
            mode.transitions.Add(c.t);
            if (!c.fileRequests) {
                std::erase_if(slave.initCmds, [](const eni::InitCmd& cmd) {
                    return WritesRegister(cmd.datagram, ecat::reg::kAlControl) ||
                           (cmd.validate && cmd.datagram.ado == ecat::reg::kAlStatus);
                });
            }
        }
        TracedLine line;
        line.segment = emulator::BuildSegment(config, emulator::Description{});
        Master master(line.link, config);
        ASSERT_TRUE(master.machine);
        ASSERT_EQ(master.Walk(c.from), c.from);
        line.Take();
        ASSERT_EQ(master.Walk(c.to), c.to) << Log::Text();
        const auto trace = line.Take();
        const auto state = ecat::ToWire(c.to);
        for (const std::uint16_t station : {1001, 1002}) {
            SCOPED_TRACE(station);
            const auto first = [&](std::uint16_t ado, auto match) {
                return std::ranges::find_if(trace,
                                            [&](const TracedLine::Datagram& d) {
                                                return d.adp == station && d.ado == ado && match(d);
                                            }) -
                       trace.begin();
            };
            const auto download = first(0x1000, [](const TracedLine::Datagram& d) {
                return d.data.size() > 10 && (d.data[5] & 0x0F) == 3 &&
                       ecat::Get16(&d.data[9]) == 0x6060;  // CoE, SDO of 0x6060
            });
            const auto request = first(ecat::reg::kAlControl, [&](const TracedLine::Datagram& d) {
                return d.command == ecat::Command::kFpwr &&
                       (d.data[0] & ecat::kAlStateBits) == state;
            });
            const auto shown = first(ecat::reg::kAlStatus, [&](const TracedLine::Datagram& d) {
                return d.command == ecat::Command::kFprd && (d.data[0] & 0x1F) == state;
            });
            ASSERT_LT(download, std::ssize(trace));
            ASSERT_LT(request, std::ssize(trace));
            if (c.onceReached) {
                EXPECT_GT(download, shown);
            } else {
                EXPECT_LT(download, request);
            }
        }
    }
}

// FMMU data that decodes to no entry, as encrypted exports write it: the
// master computes the entries, says so once for each slave, and the process
// data flows with the working counter the file expects.
TEST_F(StateMachineTest, EncryptedFmmusAreComputedAgain) {
    eni::NetworkConfig config = Load(kTwoDrives);
    auto segment = emulator::BuildSegment(config, emulator::Description{});
    for (eni::Slave& slave : config.slaves) {
        for (eni::InitCmd& cmd : slave.initCmds) {
            std::vector<std::uint8_t>& d = cmd.datagram.data;
            if (cmd.datagram.ado >= ecat::reg::Fmmu(0) && cmd.datagram.ado < ecat::reg::Fmmu(2)) {
                d.at(11) = 0xF9;
                d.at(7) = 0xFC;
                d.at(12) = 0x63;
            }
        }
    }
    emulator::InProcessLink link(*segment);
    Master master(link, config);
    ASSERT_TRUE(master.machine);
    for (AlState target : {AlState::kOp, AlState::kInit, AlState::kOp})
        EXPECT_EQ(master.Walk(target), target);
    WaitForFrames(master.exchange, 50);
    EXPECT_EQ(Log::Count("is no valid FMMU entry (2 entries); the master writes FMMUs computed"),
              2u);
    EXPECT_EQ(Log::Count("expected 6"), 0u);
}

struct FailureCase {
    const char* name;
    const char* description;
    std::function<void(eni::NetworkConfig&)> change;  // the master's ENI differs so
    AlState target;
    AlState stopsIn;
    std::vector<std::string> logged;
};

TEST_F(StateMachineTest, FailuresStopTheWalkAndSayWhy) {
    const FailureCase cases[] = {
        {"slave count short of Cnt",
         R"({"slaves": [{}, {}, {}, {}]})",
         nullptr,
         AlState::kPreOp,
         AlState::kInit,
         {"master init command BRD 0x0130 (read slave count) for IP failed: wrong working "
          "counter (working counter 4, expected 5; 1 tries)",
          "network cannot reach PREOP: IP failed; it stays in INIT"}},
        {"a Validate that times out",
         "{}",
         [](eni::NetworkConfig& c) {
             eni::InitCmd check;
             check.transitions.Add(eni::Transition::kIP);
             check.comment = "wait for OP";
             check.datagram.command = ecat::Command::kFprd;
             check.datagram.adp = 1002;
             check.datagram.ado = 0x0130;
             check.datagram.data = {0, 0};
             check.datagram.expectedWkc = 1;
             check.validate = eni::Validate{{0x08, 0x00}, {0x0F, 0x00}, 50};
             c.slaves[1].initCmds.push_back(check);
         },
         AlState::kPreOp,
         AlState::kInit,
         {"slave 1 (station 1002, ",
          "init command FPRD 1002:0x0130 (wait for OP) for IP failed: "
          "the value read never matched in time"}},
        {"a CoE abort",
         "{}",
         [](eni::NetworkConfig& c) {
             eni::CoeInitCmd write;
             write.transitions.Add(eni::Transition::kPS);
             write.comment = "no such object";
             write.index = 0x2FFF;
             write.subIndex = 1;
             write.data = {0x01};
             c.slaves[3].mailbox->coeInitCmds.push_back(write);
         },
         AlState::kSafeOp,
         AlState::kPreOp,
         {"slave 3 (station 1004, ",
          "CoE download of 0x2FFF:1 (no such object) for PS aborted: SDO abort code 0x06020000"}},
        {"a slave refusing SAFEOP with its code",
         R"({"slaves": [{}, {}, {"max_state": 2, "refusal_code": "0x001D"}, {}, {}]})",
         nullptr,
         AlState::kOp,
         AlState::kPreOp,
         {"slave 2 (station 1003, ", "refused SAFEOP: AL status code 0x001D",
          "network cannot reach OP: PS failed; it stays in PREOP"}},
        {"a slave stopping at SAFEOP",
         R"({"slaves": [{}, {}, {}, {"max_state": 4}, {}]})",
         nullptr,
         AlState::kOp,
         AlState::kSafeOp,
         {"slave 3 (station 1004, ", "refused OP: AL status code 0x0011"}},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        Log::Clear();
        eni::NetworkConfig config = Load(kFiveSlaves);
        auto segment = emulator::BuildSegment(config, Describe(c.description));
        if (c.change)
            c.change(config);  // the emulated slaves know nothing of it
        emulator::InProcessLink link(*segment);
        Master master(link, config);
        ASSERT_TRUE(master.machine);
        EXPECT_EQ(master.Walk(c.target), c.stopsIn);
        EXPECT_EQ(master.machine->lastOutcome(), WalkOutcome::kFailed);
        for (const std::string& text : c.logged)
            EXPECT_EQ(Log::Count(text), 1u) << text << "\n" << Log::Text();

        // The caller repeats its request while it waits: nothing is tried again.
        master.machine->Request(c.target);
        EXPECT_FALSE(master.machine->busy());
        EXPECT_EQ(Log::Count(std::string("state change to ") + ecat::AlStateName(c.target)), 1u);
        // Back to INIT is always possible.
        EXPECT_EQ(master.Walk(AlState::kInit), AlState::kInit);
    }
}

// A drive that speaks SoE and EoE (slave 3 of the example): its SoE write
// and EoE set-IP request in PS are answered by the emulated slave, and the
// FoE command beside them is only logged; an IDN the drive does not know
// stops the walk in PREOP with the drive's code.
TEST_F(StateMachineTest, SoeAndEoeCommandsRunAfterCoe) {
    struct Case {
        const char* name;
        std::uint16_t masterIdn;  // the IDN the master's file writes; the drive knows 15
        AlState stopsIn;
        const char* logged;
    };
    const Case cases[] = {
        {"answered", 15, AlState::kOp, "FoE init command (firmware) for PS not run"},
        {"an unknown IDN", 16, AlState::kPreOp,
         "SoE write of S-0-0016 drive 0 elements 0x40 (telegram type) for PS failed: SoE error "
         "0x1001 (no IDN)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log::Clear();
        eni::NetworkConfig config = Load(kFiveSlaves);
        eni::Mailbox& drive = *config.slaves[3].mailbox;
        drive.protocols |= ecat::sii::kProtocolSoe | ecat::sii::kProtocolEoe;
        eni::TransitionSet ps;
        ps.Add(eni::Transition::kPS);
        eni::SoeInitCmd soe;
        soe.transitions = ps;
        soe.comment = "telegram type";
        soe.idn = 15;
        soe.data = {0x07, 0x00};
        drive.soeInitCmds = {soe};
        eni::EoeInitCmd eoe;
        eoe.transitions = ps;
        eoe.comment = "eoe init";
        eoe.data = {0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0A, 0x01, 0xA8, 0xC0};
        drive.eoeInitCmds = {eoe};
        drive.skippedInitCmds = {eni::SkippedInitCmd{"FoE", ps, "firmware"}};
        auto segment = emulator::BuildSegment(config, emulator::Description{});
        drive.soeInitCmds[0].idn = c.masterIdn;
        emulator::InProcessLink link(*segment);
        Master master(link, config);
        ASSERT_TRUE(master.machine);
        EXPECT_EQ(master.Walk(AlState::kOp), c.stopsIn);
        EXPECT_EQ(Log::Count(c.logged), 1u) << Log::Text();
        EXPECT_EQ(master.Walk(AlState::kInit), AlState::kInit);
    }
}

TEST_F(StateMachineTest, ASlaveLeavingInOpIsLoggedOnce) {
    const eni::NetworkConfig config = Load(kFiveSlaves);
    eni::NetworkConfig front = config;
    front.slaves.resize(4);
    eni::NetworkConfig back = config;
    back.slaves.erase(back.slaves.begin(), back.slaves.begin() + 4);
    SplitLine line{emulator::BuildSegment(front, emulator::Description{}),
                   emulator::BuildSegment(back, emulator::Description{})};
    Master master(line.link, config);
    ASSERT_TRUE(master.machine);
    ASSERT_EQ(master.Walk(AlState::kOp), AlState::kOp);
    WaitForFrames(master.exchange, 50);  // process data flows in OP

    line.plugged = false;
    EXPECT_TRUE(WaitForLine("slave 4 (station 1005, "));
    EXPECT_TRUE(WaitForLine("expected 6: a slave stopped"));
    WaitForFrames(master.exchange, 200);  // many cycles before counting the lines again
    EXPECT_EQ(Log::Count("expected 6: a slave stopped"), 1u);
    EXPECT_EQ(Log::Count("no longer answers"), 1u);
    EXPECT_EQ(master.machine->reached(), AlState::kInit);  // a slave not answering counts as INIT

    // Back on the line, the slave has fallen to SAFEOP (its outputs stopped);
    // the caller's repeated request brings it back to OP.
    line.plugged = true;
    EXPECT_TRUE(WaitForLine("answers again"));
    EXPECT_EQ(master.Walk(AlState::kOp), AlState::kOp);
    EXPECT_TRUE(WaitForLine("answers with working counter 6 again"));
}

}  // namespace
}  // namespace parvane::master
