// ecat-emulator: emulated EtherCAT slaves behind a Linux network interface.
// EtherCAT frames that arrive on the interface run through the segment and
// go back out of the same interface, as the last slave of a line returns
// them. One line on stdout once it serves; SIGTERM or SIGINT ends it.
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
    Fd& operator=(Fd&&) = delete;
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
#ifdef PACKET_IGNORE_OUTGOING
    const int one = 1;
    setsockopt(sock.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
#endif
    return sock;
}

bool InterfaceGone(int error) {
    return error == ENETDOWN || error == ENODEV || error == ENXIO;
}

// The segment behind the bound socket: every frame waiting on it is run
// through the segment and its reply sent back out.
class Server {
  public:
    Server(emulator::Segment& segment, int sock, const sockaddr_ll& address, const std::string& nic)
        : segment_(segment), sock_(sock), address_(address), nic_(nic) {}

    // Answers what has arrived; a failure that ends the program.
    std::expected<void, std::string> Drain() {
        for (;;) {
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(sock_, buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    return {};
                if (InterfaceGone(errno))
                    return std::unexpected("the interface " + nic_ + " is gone");
                return std::unexpected(std::string("recv: ") + std::strerror(errno));
            }
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;  // our own replies
            if (auto answered = Answer(static_cast<std::size_t>(n)); !answered)
                return answered;
        }
    }

    void LogCounts(unsigned signal) const {
        Log("stopped by signal %u: %llu frames answered, %llu dropped, %llu ignored", signal,
            static_cast<unsigned long long>(answered_), static_cast<unsigned long long>(dropped_),
            static_cast<unsigned long long>(ignored_));
    }

  private:
    std::expected<void, std::string> Answer(std::size_t received) {
        std::size_t length = std::min(received, ecat::kMaxFrameSize);
        const auto outcome = segment_.Process(std::span(buffer_).first(length));
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
        if (sendto(sock_, buffer_.data(), length, 0, reinterpret_cast<const sockaddr*>(&address_),
                   sizeof address_) < 0) {
            if (InterfaceGone(errno))
                return std::unexpected("the interface " + nic_ + " is gone");
            ++dropped_;  // a full queue loses the frame, as a wire would
            return {};
        }
        ++answered_;
        return {};
    }

    emulator::Segment& segment_;
    int sock_;
    const sockaddr_ll& address_;
    const std::string& nic_;
    std::array<std::uint8_t, 2048> buffer_{};
    std::uint64_t answered_ = 0, ignored_ = 0, dropped_ = 0;
};

// Serves until a signal (status 0) or a failure (status 1).
int Serve(Server& server, int sock, int signalFd, const std::string& nic) {
    pollfd fds[2] = {{sock, POLLIN, 0}, {signalFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Fail(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto n = read(signalFd, &info, sizeof info);
            server.LogCounts(info.ssi_signo);
            return 0;
        }
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return Fail("the interface " + nic + " is gone");
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        if (auto drained = server.Drain(); !drained)
            return Fail(drained.error());
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
        return Fail(config.error());
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
    Server server(*segment, sock->get(), address, options->nic);
    return Serve(server, sock->get(), signalFd->get(), options->nic);
}
