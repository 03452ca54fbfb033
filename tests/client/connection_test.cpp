// The client's connection against a hand-made server socket: time bounds,
// broken connections and late answers, without a driver or platform.
#include "client/connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace parvane::client {
namespace {

namespace fs = std::filesystem;
using parvane::common::UniqueFd;
using parvane::ipc::MasterExport;
using namespace std::chrono_literals;

class ServerSocket {
  public:
    explicit ServerSocket(const fs::path& folder) {
        fs::create_directories(folder);
        address_ = parvane::ipc::SocketAddress::In(folder, "s.sock");
        listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        ok_ = address_ && ::bind(listener_.get(), address_->addr(), address_->size()) == 0 &&
              ::listen(listener_.get(), 4) == 0;
    }
    bool ok() const { return ok_; }
    const parvane::ipc::SocketAddress& address() const { return *address_; }
    UniqueFd Accept() { return UniqueFd(::accept(listener_.get(), nullptr, nullptr)); }
    parvane::ipc::Request ReadRequest(int fd) {
        std::uint8_t buffer[64];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        auto decoded = parvane::ipc::DecodeRequest({buffer, n > 0 ? std::size_t(n) : 0});
        return decoded.request.value_or(parvane::ipc::Request{});
    }
    void Answer(int fd, const parvane::ipc::Reply& reply) {
        auto bytes = parvane::ipc::EncodeReply(reply);
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

  private:
    std::optional<parvane::ipc::SocketAddress> address_;
    UniqueFd listener_;
    bool ok_ = false;
};

class ClientConnection : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/client_conn_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

parvane::ipc::Request GetState() {
    parvane::ipc::Request request;
    request.op = MasterExport::GetState;
    return request;
}

TEST_F(ClientConnection, NobodyListeningIsRefused) {
    auto address = parvane::ipc::SocketAddress::In(folder_, "none.sock");
    ASSERT_TRUE(address);
    Connection connection;
    EXPECT_EQ(connection.Connect(*address, Clock::now() + 1s), Outcome::kRefused);
    parvane::ipc::Reply reply;
    EXPECT_EQ(connection.Call(GetState(), Clock::now() + 1s, reply), Outcome::kLost);
}

TEST_F(ClientConnection, ARequestWithoutAnswerTimesOutWithinTheBound) {
    ServerSocket server(folder_);
    ASSERT_TRUE(server.ok());
    Connection connection;
    ASSERT_EQ(connection.Connect(server.address(), Clock::now() + 1s), Outcome::kOk);
    auto started = Clock::now();
    parvane::ipc::Reply reply;
    EXPECT_EQ(connection.Call(GetState(), started + 200ms, reply), Outcome::kTimeout);
    auto took = Clock::now() - started;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 2s);
    // A timeout does not break the connection: the next call is answered.
    UniqueFd peer = server.Accept();
    parvane::ipc::Request first = server.ReadRequest(peer.get());
    server.Answer(peer.get(), {28, first.seq + 1, 0, 0, 4, 4, 0});
    ASSERT_EQ(connection.Call(GetState(), Clock::now() + 1s, reply), Outcome::kOk);
    EXPECT_EQ(reply.value1, 4u);
}

TEST_F(ClientConnection, LateAnswersToEarlierCallsAreSkipped) {
    ServerSocket server(folder_);
    ASSERT_TRUE(server.ok());
    Connection connection;
    ASSERT_EQ(connection.Connect(server.address(), Clock::now() + 1s), Outcome::kOk);
    UniqueFd peer = server.Accept();
    parvane::ipc::Reply reply;
    EXPECT_EQ(connection.Call(GetState(), Clock::now() + 50ms, reply), Outcome::kTimeout);
    parvane::ipc::Request first = server.ReadRequest(peer.get());
    // The first call's answer arrives only now, before the second call's.
    server.Answer(peer.get(), {28, first.seq, 0, 0, 1, 1, 0});
    server.Answer(peer.get(), {28, first.seq + 1, 0, 0, 2, 2, 0});
    ASSERT_EQ(connection.Call(GetState(), Clock::now() + 1s, reply), Outcome::kOk);
    EXPECT_EQ(reply.value1, 2u);
}

TEST_F(ClientConnection, APeerThatClosesIsLostForGood) {
    ServerSocket server(folder_);
    ASSERT_TRUE(server.ok());
    Connection connection;
    ASSERT_EQ(connection.Connect(server.address(), Clock::now() + 1s), Outcome::kOk);
    server.Accept().reset();
    parvane::ipc::Reply reply;
    auto started = Clock::now();
    EXPECT_EQ(connection.Call(GetState(), started + 5s, reply), Outcome::kLost);
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_EQ(connection.Call(GetState(), Clock::now() + 5s, reply), Outcome::kLost);
}

TEST_F(ClientConnection, AReplyOfTheWrongShapeIsAProtocolError) {
    ServerSocket server(folder_);
    ASSERT_TRUE(server.ok());
    Connection connection;
    ASSERT_EQ(connection.Connect(server.address(), Clock::now() + 1s), Outcome::kOk);
    UniqueFd peer = server.Accept();
    const char junk[] = "junk";
    ASSERT_EQ(::send(peer.get(), junk, sizeof junk, MSG_NOSIGNAL), ssize_t(sizeof junk));
    parvane::ipc::Reply reply;
    EXPECT_EQ(connection.Call(GetState(), Clock::now() + 1s, reply), Outcome::kProtocol);
}

TEST_F(ClientConnection, FoldersLongerThanSunPathAreReachable) {
    fs::path deep = folder_;
    while (deep.string().size() < 200)
        deep /= "a-rather-long-folder-name";
    ServerSocket server(deep);
    ASSERT_TRUE(server.ok());
    EXPECT_TRUE(fs::exists(deep / "s.sock"));
    auto address = parvane::ipc::SocketAddress::In(deep, "s.sock");
    ASSERT_TRUE(address);
    Connection connection;
    EXPECT_EQ(connection.Connect(*address, Clock::now() + 1s), Outcome::kOk);
}

}  // namespace
}  // namespace parvane::client
