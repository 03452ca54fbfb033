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
#include <string>

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
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

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

    // Signals arrive through a descriptor, so the loop below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0)
        return Fail(std::string("sigprocmask: ") + std::strerror(errno));
    Fd signalFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signalFd.get() < 0)
        return Fail(std::string("signalfd: ") + std::strerror(errno));

    // Protocol 0 until bound, so that no frame of another interface slips in.
    Fd sock(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        if (errno == EPERM || errno == EACCES)
            return Fail("no permission to open a raw socket (needs CAP_NET_RAW)");
        return Fail(std::string("socket: ") + std::strerror(errno));
    }
    const unsigned index = if_nametoindex(options->nic.c_str());
    if (index == 0)
        return Fail("no network interface named " + options->nic);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ecat::kEtherType);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail("cannot bind to " + options->nic + ": " + std::strerror(errno));
#ifdef PACKET_IGNORE_OUTGOING
    const int one = 1;
    setsockopt(sock.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
#endif

    auto segment = emulator::BuildSegment(*config, description);
    std::printf("ecat-emulator: serving %zu slaves on %s\n", segment->size(), options->nic.c_str());
    std::fflush(stdout);
    Log("serving %zu slaves on %s (ENI %s)", segment->size(), options->nic.c_str(),
        options->eniPath.c_str());

    std::array<std::uint8_t, 2048> buffer;
    std::uint64_t answered = 0, ignored = 0, dropped = 0;
    pollfd fds[2] = {{sock.get(), POLLIN, 0}, {signalFd.get(), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return Fail(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            signalfd_siginfo info{};
            [[maybe_unused]] auto n = read(signalFd.get(), &info, sizeof info);
            Log("stopped by signal %u: %llu frames answered, %llu dropped, %llu ignored",
                info.ssi_signo, static_cast<unsigned long long>(answered),
                static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(ignored));
            return 0;
        }
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return Fail("the interface " + options->nic + " is gone");
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        for (;;) {
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(sock.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    break;
                if (errno == ENETDOWN || errno == ENODEV || errno == ENXIO)
                    return Fail("the interface " + options->nic + " is gone");
                return Fail(std::string("recv: ") + std::strerror(errno));
            }
            if (from.sll_pkttype == PACKET_OUTGOING)
                continue;  // our own replies
            std::size_t length =
                std::min<std::size_t>(static_cast<std::size_t>(n), ecat::kMaxFrameSize);
            const auto outcome = segment->Process(std::span(buffer).first(length));
            if (outcome == emulator::FrameOutcome::kIgnored) {
                ++ignored;
                continue;
            }
            if (outcome != emulator::FrameOutcome::kAnswered) {
                ++dropped;
                continue;
            }
            if (length < ecat::kMinFrameSize) {
                std::memset(buffer.data() + length, 0, ecat::kMinFrameSize - length);
                length = ecat::kMinFrameSize;
            }
            if (sendto(sock.get(), buffer.data(), length, 0, reinterpret_cast<sockaddr*>(&address),
                       sizeof address) < 0) {
                if (errno == ENETDOWN || errno == ENODEV || errno == ENXIO)
                    return Fail("the interface " + options->nic + " is gone");
                ++dropped;  // a full queue loses the frame, as a wire would
                continue;
            }
            ++answered;
        }
    }
}
