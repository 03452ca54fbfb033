// A hostile local client on the driver's IPC endpoint: random bytes, cut and
// oversized requests, requests out of order, idle connections and a flood it
// never reads. The driver keeps serving: a normal run afterwards, or at the
// same time, passes every step.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "common/catalog_names.h"
#include "common/unique_fd.h"
#include "ipc/protocol.h"
#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using namespace parvane_e2e;
using parvane::common::UniqueFd;
using parvane::ipc::MasterExport;
using Bytes = std::vector<std::uint8_t>;

// The driver's socket: lomadyn.sock in its process folder "<pid>-<start>".
fs::path DriverSocket(const TempNode& node, pid_t pid) {
    for (const auto& entry : fs::directory_iterator(node.dir() / "proc")) {
        if (entry.path().filename().string().starts_with(std::to_string(pid) + "-"))
            return entry.path() / parvane::common::kDriverSocketName;
    }
    ADD_FAILURE() << "no process folder of pid " << pid;
    return {};
}

UniqueFd Connect(const fs::path& socketPath) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << socketPath << ": " << std::strerror(errno);
    return fd;
}

Bytes Request(MasterExport op, std::uint32_t seq, std::uint32_t arg0 = 0) {
    parvane::ipc::Request request;
    request.op = op;
    request.seq = seq;
    request.arg0 = arg0;
    auto bytes = parvane::ipc::EncodeRequest(request);
    return Bytes(bytes.begin(), bytes.end());
}

// Sends every datagram without waiting for answers; a send that the driver's
// full buffer refuses ends the burst (the driver may drop such a peer).
void SendAll(int fd, const std::vector<Bytes>& datagrams) {
    for (const Bytes& datagram : datagrams) {
        if (::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            return;
    }
}

std::vector<Bytes> RandomDatagrams() {
    std::mt19937 random(20261207);
    std::vector<Bytes> out;
    for (int i = 0; i < 300; ++i) {
        Bytes bytes(random() % 100);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        out.push_back(bytes);
    }
    return out;
}

std::vector<Bytes> CutRequests() {
    std::vector<Bytes> out;
    for (MasterExport op :
         {MasterExport::Open, MasterExport::GetState, MasterExport::RequestState}) {
        Bytes whole = Request(op, 7, 8);
        for (std::size_t size = 0; size < whole.size(); ++size)
            out.emplace_back(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return out;
}

std::vector<Bytes> OversizedRequests() {
    std::vector<Bytes> out;
    for (std::size_t size : {21u, 24u, 63u, 64u, 65u, 1000u, 65000u}) {
        Bytes bytes = Request(MasterExport::Open, 1);
        bytes.resize(size, 0xAB);
        out.push_back(bytes);
    }
    return out;
}

// Well-formed datagrams out of order: unknown ops, calls before any open, a
// second open, a state that does not exist, close, then calls after it.
std::vector<Bytes> OutOfOrder() {
    return {Request(static_cast<MasterExport>(0), 1),
            Request(static_cast<MasterExport>(0xFFFFFFFF), 2),
            Request(MasterExport::GetSlaveInfo, 3, 0xFFFFFFFF),
            Request(MasterExport::RequestState, 4, 8),
            Request(MasterExport::Open, 5),
            Request(MasterExport::Open, 6),
            Request(MasterExport::RequestState, 7, 3),
            Request(MasterExport::ReadSlaveEeprom, 8, 0xFFFFFFFF),
            Request(MasterExport::GetSlaveInfo, 9, 70000),
            Request(MasterExport::Close, 10),
            Request(MasterExport::GetState, 11)};
}

struct HostileCase {
    const char* name;
    std::vector<Bytes> (*datagrams)();
};
void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileClient : public ::testing::TestWithParam<HostileCase> {};

// The hostile client sends its datagrams and goes away; then the tool runs.
TEST_P(HostileClient, TheDriverServesTheNextRun) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    const fs::path socketPath = DriverSocket(node, driver->pid());
    {
        UniqueFd hostile = Connect(socketPath);
        SendAll(hostile.get(), GetParam().datagrams());
    }
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 0) << run.err << driver->Err();
    EXPECT_EQ(run.out, PassedReport(5));
    EXPECT_TRUE(driver->Running());
}

// The same while the hostile client keeps its connection and sends on during
// the run.
TEST_P(HostileClient, TheDriverServesARunAtTheSameTime) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml"),
                                     "-sim=" + Example("five-slaves.matching.sim.json")});
    const fs::path socketPath = DriverSocket(node, driver->pid());
    UniqueFd hostile = Connect(socketPath);
    auto tool = StartTool(node);
    ASSERT_TRUE(tool->WaitForOutput(kStep1, 30s));
    SendAll(hostile.get(), GetParam().datagrams());
    ASSERT_TRUE(tool->WaitForOutput(kStep4, 30s)) << tool->out();
    SendAll(hostile.get(), GetParam().datagrams());
    EXPECT_EQ(tool->Wait(60s), 0) << driver->Err();
    EXPECT_EQ(tool->out(), PassedReport(5));
    EXPECT_TRUE(driver->Running());
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileClient,
                         ::testing::Values(HostileCase{"RandomBytes", RandomDatagrams},
                                           HostileCase{"CutRequests", CutRequests},
                                           HostileCase{"OversizedRequests", OversizedRequests},
                                           HostileCase{"OutOfOrder", OutOfOrder}),
                         [](const auto& info) { return std::string(info.param.name); });

// Connections that never open must not lock the others out.
TEST(HostileClient, IdleConnectionsDoNotLockOthersOut) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    const fs::path socketPath = DriverSocket(node, driver->pid());
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 40; ++i)
        idle.push_back(Connect(socketPath));
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 0) << driver->Err();
    EXPECT_EQ(run.out, PassedReport(5));
}

// A client that floods opened-connection calls and never reads the answers.
TEST(HostileClient, AFloodThatIsNeverReadDoesNotStallOthers) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    UniqueFd hostile = Connect(DriverSocket(node, driver->pid()));
    std::vector<Bytes> flood = {Request(MasterExport::Open, 1)};
    for (std::uint32_t seq = 2; seq < 20000; ++seq)
        flood.push_back(Request(MasterExport::GetState, seq));
    SendAll(hostile.get(), flood);
    const RunResult run = RunTool(node);
    EXPECT_EQ(run.exitCode, 0) << driver->Err();
    EXPECT_EQ(run.out, PassedReport(5));
    EXPECT_TRUE(driver->Running());
}

// Two tools against one driver at the same time: both reports complete and
// intact.
TEST(Load, TwoToolsAtOnceBothPass) {
    TempNode node;
    auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml")});
    auto first = StartTool(node);
    auto second = StartTool(node);
    EXPECT_EQ(first->Wait(90s), 0) << first->err();
    EXPECT_EQ(second->Wait(90s), 0) << second->err();
    EXPECT_EQ(first->out(), PassedReport(5));
    EXPECT_EQ(second->out(), PassedReport(5));
    EXPECT_TRUE(driver->Running());
}

}  // namespace
}  // namespace faults
