// ecat-emulator: emulated EtherCAT slaves behind a Linux network interface.
// EtherCAT frames that arrive on the interface run through the segment and
// go back out of the same interface, as the last slave of a line returns
// them. One line on stdout once it serves; SIGTERM or SIGINT ends it.
//
// An interface that goes down (a cable pulled) is waited for: frames are
// served again once it is up. One that is deleted is waited for as well, by
// name, for a bounded time; the program ends when it does not come back.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <expected>
#include <string>
#include <utility>

#include "ecat/frame.h"
#include "emulator/network.h"
#include "emulator/program/emulator_options.h"

namespace {

using namespace parvane;

std::FILE* g_log = nullptr;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    if (g_log == nullptr)
        return;
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::gmtime(&now));
    std::fprintf(g_log, "%s ", stamp);
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "ecat-emulator: %s\n", why.c_str());
    Log("stopped: %s", why.c_str());
    return 1;
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Signals arrive through a descriptor, so the serving loop sees them.
std::expected<Fd, std::string> OpenSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return std::unexpected(std::string("sigprocmask: ") + std::strerror(errno));
    Fd signalFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signalFd.get() < 0)
        return std::unexpected(std::string("signalfd: ") + std::strerror(errno));
    return signalFd;
}

// A raw socket bound to the interface for EtherCAT frames; `address` is then
// where replies go.
std::expected<Fd, std::string> OpenInterface(const std::string& nic, sockaddr_ll& address) {
    // Protocol 0 until bound, so that no frame of another interface slips in.
    Fd sock(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        if (errno == EPERM || errno == EACCES)
            return std::unexpected("no permission to open a raw socket (needs CAP_NET_RAW)");
        return std::unexpected(std::string("socket: ") + std::strerror(errno));
    }
    const unsigned index = if_nametoindex(nic.c_str());
    if (index == 0)
        return std::unexpected("no network interface named " + nic);
    address = sockaddr_ll{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ecat::kEtherType);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return std::unexpected("cannot bind to " + nic + ": " + std::strerror(errno));
    const int one = 1;
#ifdef PACKET_IGNORE_OUTGOING
    setsockopt(sock.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
#endif
    // The kernel's receive stamp: a frame's time at the slaves is when it
    // arrived, not when this process got round to it (real slaves stamp in
    // hardware). Without it the frame takes the time it is processed.
    setsockopt(sock.get(), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    return sock;
}

bool InterfaceGone(int error) {
    return error == ENETDOWN || error == ENODEV || error == ENXIO;
}

// How long a deleted interface is waited for, and how often its name is
// looked up meanwhile.
constexpr auto kComeBackWait = std::chrono::seconds(10);
constexpr int kLookUpMs = 100;

// The segment behind the socket bound to the interface: every frame waiting
// on it is run through the segment and its reply sent back out. The socket
// outlives the interface going down and up; when the interface is deleted,
// it is closed and a new one bound once an interface of that name is back.
class Server {
  public:
    Server(emulator::Segment& segment, Fd sock, const sockaddr_ll& address, std::string nic)
        : segment_(segment), sock_(std::move(sock)), address_(address), nic_(std::move(nic)) {}

    // The socket to wait on; -1 while the interface is gone.
    int fd() const { return sock_.get(); }

    // Answers what has arrived; a failure that ends the program.
    std::expected<void, std::string> Drain() {
        const std::int64_t realToSteady = NowNs(CLOCK_MONOTONIC) - NowNs(CLOCK_REALTIME);
        while (sock_.get() >= 0) {
            sockaddr_ll from{};
            alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
            iovec data{buffer_.data(), buffer_.size()};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control.data();
            message.msg_controllen = control.size();
            const ssize_t n = recvmsg(sock_.get(), &message, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    return {};
                if (InterfaceGone(errno))
                    return LinkLost();
                return std::unexpected(std::string("recv: ") + std::strerror(errno));
            }
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;  // our own replies
            if (down_) {
                down_ = false;
                Log("the interface %s is up again", nic_.c_str());
            }
            if (auto answered =
                    Answer(static_cast<std::size_t>(n), ArrivedAt(message, realToSteady));
                !answered)
                return answered;
        }
        return {};
    }

    // The socket reports an error: the interface went down or was deleted.
    std::expected<void, std::string> SocketError() {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(sock_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0 || InterfaceGone(error))
            return LinkLost();
        return std::unexpected(std::string("socket: ") + std::strerror(error));
    }

    // While the interface is gone: binds to it again once it is back, or
    // gives up after `kComeBackWait`.
    std::expected<void, std::string> Reopen() {
        sockaddr_ll address{};
        if (auto sock = OpenInterface(nic_, address)) {
            sock_ = std::move(*sock);
            address_ = address;
            down_ = false;
            Log("the interface %s is back", nic_.c_str());
            return {};
        }
        if (std::chrono::steady_clock::now() - goneAt_ >= kComeBackWait)
            return std::unexpected("the interface " + nic_ + " is gone");
        return {};
    }

    void LogCounts(unsigned signal) const {
        Log("stopped by signal %u: %llu frames answered, %llu dropped, %llu ignored", signal,
            static_cast<unsigned long long>(answered_), static_cast<unsigned long long>(dropped_),
            static_cast<unsigned long long>(ignored_));
    }

  private:
    // The interface went down (frames come again once it is up) or is gone.
    std::expected<void, std::string> LinkLost() {
        if (if_nametoindex(nic_.c_str()) == static_cast<unsigned>(address_.sll_ifindex)) {
            if (!down_)
                Log("the interface %s went down: waiting for it to come up", nic_.c_str());
            down_ = true;
            return {};
        }
        Log("the interface %s is gone: waiting up to %lld s for it to come back", nic_.c_str(),
            static_cast<long long>(kComeBackWait.count()));
        sock_ = Fd(-1);
        goneAt_ = std::chrono::steady_clock::now();
        return {};
    }

    static std::int64_t NowNs(clockid_t clock) {
        timespec t{};
        clock_gettime(clock, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    // The kernel's stamp of the frame on the steady clock; now when there is
    // none, or when it does not lie within the last second (the wall clock
    // was stepped in between).
    static std::uint64_t ArrivedAt(msghdr& message, std::int64_t realToSteady) {
        const std::int64_t now = NowNs(CLOCK_MONOTONIC);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS ||
                c->cmsg_len < CMSG_LEN(sizeof(timespec)))
                continue;
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            const std::int64_t at = static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 +
                                    stamp.tv_nsec + realToSteady;
            if (at <= now && now - at < 1'000'000'000)
                return static_cast<std::uint64_t>(at);
        }
        return static_cast<std::uint64_t>(now);
    }

    std::expected<void, std::string> Answer(std::size_t received, std::uint64_t arrivedAt) {
        std::size_t length = std::min(received, ecat::kMaxFrameSize);
        const auto outcome = segment_.Process(std::span(buffer_).first(length), arrivedAt);
        if (outcome == emulator::FrameOutcome::kIgnored) {
            ++ignored_;
            return {};
        }
        if (outcome != emulator::FrameOutcome::kAnswered) {
            ++dropped_;
            return {};
        }
        if (length < ecat::kMinFrameSize) {
            std::memset(buffer_.data() + length, 0, ecat::kMinFrameSize - length);
            length = ecat::kMinFrameSize;
        }
        if (sendto(sock_.get(), buffer_.data(), length, 0,
                   reinterpret_cast<const sockaddr*>(&address_), sizeof address_) < 0) {
            ++dropped_;  // a full queue loses the frame, as a wire would
            return InterfaceGone(errno) ? LinkLost() : std::expected<void, std::string>{};
        }
        ++answered_;
        return {};
    }

    emulator::Segment& segment_;
    Fd sock_;
    sockaddr_ll address_;
    std::string nic_;
    bool down_ = false;
    std::chrono::steady_clock::time_point goneAt_;
    std::array<std::uint8_t, 2048> buffer_{};
    std::uint64_t answered_ = 0, ignored_ = 0, dropped_ = 0;
};

// Serves until a signal (status 0) or a failure (status 1).
int Serve(Server& server, int signalFd) {
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {server.fd(), POLLIN, 0}};
        const bool gone = server.fd() < 0;
        if (poll(fds, gone ? 1 : 2, gone ? kLookUpMs : -1) < 0) {
            if (errno == EINTR)
                continue;
            return Fail(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto n = read(signalFd, &info, sizeof info);
            server.LogCounts(info.ssi_signo);
            return 0;
        }
        std::expected<void, std::string> served;
        if (gone)
            served = server.Reopen();
        else if ((fds[1].revents & POLLNVAL) != 0)
            served = std::unexpected(std::string("the socket was closed"));
        else if ((fds[1].revents & (POLLERR | POLLHUP)) != 0)
            served = server.SocketError();
        else if ((fds[1].revents & POLLIN) != 0)
            served = server.Drain();
        if (!served)
            return Fail(served.error());
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto options = emulator::ParseEmulatorOptions(argc, argv);
    if (!options)
        return Fail(options.error().message);
    if (!options->logPath.empty()) {
        g_log = std::fopen(options->logPath.c_str(), "a");
        if (g_log == nullptr)
            return Fail("cannot open log " + options->logPath + ": " + std::strerror(errno));
    }
    auto config = emulator::LoadEniConfig(options->eniPath);
    if (!config)
        return Fail(config.error().message);
    emulator::Description description;
    if (!options->descriptionPath.empty()) {
        auto read = emulator::ReadDescriptionFile(options->descriptionPath);
        if (!read)
            return Fail(read.error().message);
        description = std::move(*read);
    }
    auto signalFd = OpenSignals();
    if (!signalFd)
        return Fail(signalFd.error());
    sockaddr_ll address{};
    auto sock = OpenInterface(options->nic, address);
    if (!sock)
        return Fail(sock.error());

    auto segment = emulator::BuildSegment(*config, description);
    std::printf("ecat-emulator: serving %zu slaves on %s\n", segment->size(), options->nic.c_str());
    std::fflush(stdout);
    Log("serving %zu slaves on %s (ENI %s)", segment->size(), options->nic.c_str(),
        options->eniPath.c_str());
    Server server(*segment, std::move(*sock), address, options->nic);
    return Serve(server, signalFd->get());
}
