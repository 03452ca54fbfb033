#include "master/raw_socket_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "master/log.h"

namespace parvane::master {
namespace {

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

// Room for a few hundred full frames each way.
constexpr int kSocketBufferBytes = 1 << 20;

Error SystemError(const char* call, int error) {
    if (error == EPERM || error == EACCES)
        return Error{Errc::kNoPermission, static_cast<std::uint32_t>(error)};
    return Error{Errc::kSystem, static_cast<std::uint32_t>(error), call};
}

bool SameFile(int fd, const std::string& path) {
    struct stat held = {};
    struct stat named = {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Takes the interface's lock without waiting. A folder that cannot be made
// (no root, a read-only /run) leaves the link without a lock: whoever cannot
// write there cannot hold the lock against us either. The holder removes the
// file when it lets go, so a lock taken on a file removed meanwhile is
// dropped and taken again on the file that is there now.
std::expected<common::UniqueFd, Error> TakeInterfaceLock(const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        Log("no lock against a second master on the interface (%s: %s)", folder.c_str(),
            std::strerror(errno));
        return common::UniqueFd{};
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        common::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            Log("no lock against a second master on the interface (%s: %s)", path.c_str(),
                std::strerror(errno));
            return common::UniqueFd{};
        }
        int taken = 0;
        while ((taken = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (taken != 0)
            return std::unexpected(errno == EWOULDBLOCK ? Error{Errc::kBusy}
                                                        : SystemError("flock", errno));
        if (SameFile(fd.get(), path))
            return fd;
    }
    return std::unexpected(Error{Errc::kBusy});
}

}  // namespace

std::string RawSocketLink::LockPath(const std::string& interface) {
    struct stat ns {};
    const unsigned long long inode =
        ::stat("/proc/self/ns/net", &ns) == 0 ? static_cast<unsigned long long>(ns.st_ino) : 0;
    return "/run/parvane/nic-" + std::to_string(inode) + "-" + interface + ".lock";
}

std::string RawSocketLink::Refusal(const Error& error, const std::string& interface) {
    switch (error.code) {
        case Errc::kNoInterface:
            if (error.detail == 1)
                return "no network interface named \"" + interface + "\"";
            return "no network interface named " + interface + " (see ip link for the names)";
        case Errc::kNoPermission:
            return "cannot open interface " + interface +
                   ": needs CAP_NET_RAW: run as root or setcap cap_net_raw+ep on the driver";
        case Errc::kBusy:
            return "interface " + interface +
                   " is held by another master (a running lomadyn.rta or parvane-scan; lock " +
                   LockPath(interface) + ")";
        default:
            return "cannot open interface " + interface + ": " +
                   (error.call != nullptr ? error.call : "open") + ": " +
                   std::strerror(static_cast<int>(error.detail));
    }
}

RawSocketLink::RawSocketLink(common::UniqueFd fd, std::string interface, common::UniqueFd lock)
    : fd_(std::move(fd)), interface_(std::move(interface)), lock_(std::move(lock)) {}

RawSocketLink::~RawSocketLink() {
    // Removed while still held, so nobody takes a lock on it in between.
    if (lock_.valid() && SameFile(lock_.get(), LockPath(interface_)))
        ::unlink(LockPath(interface_).c_str());
}

std::expected<std::unique_ptr<RawSocketLink>, Error> RawSocketLink::Open(
    const std::string& interface) {
    if (interface.empty() || interface.size() >= IFNAMSIZ)
        return std::unexpected(Error{Errc::kNoInterface, 1});
    const unsigned index = ::if_nametoindex(interface.c_str());
    if (index == 0)
        return std::unexpected(Error{Errc::kNoInterface, 0});
    // Protocol 0 until bound, so no frame of another interface is queued
    // in between.
    common::UniqueFd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return std::unexpected(SystemError("socket", errno));

    int one = 1;
    if (::setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0)
        Log("interface %s: the kernel cannot hide our own frames (%s); the source address "
            "filters them",
            interface.c_str(), std::strerror(errno));
    int bytes = kSocketBufferBytes;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ecat::kEtherType);
    address.sll_ifindex = static_cast<int>(index);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return std::unexpected(SystemError("bind", errno));
    // After the socket, so that a caller without CAP_NET_RAW hears that
    // rather than about a lock it could never have used.
    auto lock = TakeInterfaceLock(LockPath(interface));
    if (!lock)
        return std::unexpected(lock.error());
    return std::make_unique<RawSocketLink>(std::move(fd), interface, std::move(*lock));
}

std::expected<void, ecat::LinkError> RawSocketLink::Send(std::span<const std::uint8_t> frame) {
    if (frame.size() >= ecat::kEthernetHeaderSize) {
        lastSource_ = ecat::SourceOf(frame);
        sent_ = true;
    }
    for (;;) {
        const ssize_t n = ::send(fd_.get(), frame.data(), frame.size(), 0);
        if (n >= 0)
            return {};
        if (errno == EINTR)
            continue;
        if (errno == ENOBUFS || errno == EAGAIN)
            return {};  // the queue is full: the frame is lost, its reply never comes
        if (errno == ENXIO || errno == ENODEV || errno == ENETDOWN)
            return std::unexpected(ecat::LinkError::kDown);
        return std::unexpected(ecat::LinkError::kSystem);
    }
}

std::expected<std::size_t, ecat::LinkError> RawSocketLink::Receive(std::span<std::uint8_t> buffer,
                                                                   Clock::time_point deadline) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n >= 0) {
            const auto size = static_cast<std::size_t>(n);
            if (size < ecat::kEthernetHeaderSize)
                continue;
            // A frame that left with a universal source address and comes
            // back with it unchanged passed no slave: it is our own.
            if (sent_ && (lastSource_[0] & ecat::kMacLocallyAdministered) == 0 &&
                std::equal(lastSource_.begin(), lastSource_.end(), buffer.begin() + 6))
                continue;
            return size;
        }
        if (errno == EINTR)
            continue;
        if (errno == ENETDOWN || errno == ENXIO || errno == ENODEV)
            return std::unexpected(ecat::LinkError::kDown);
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return std::unexpected(ecat::LinkError::kSystem);

        const auto now = Clock::now();
        if (now >= deadline)
            return std::unexpected(ecat::LinkError::kTimeout);
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                      static_cast<long>(left.count() % 1'000'000'000)};
        pollfd p{fd_.get(), POLLIN, 0};
        const int ready = ::ppoll(&p, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return std::unexpected(ecat::LinkError::kSystem);
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
            (p.revents & POLLIN) == 0)
            return std::unexpected(ecat::LinkError::kDown);
    }
}

}  // namespace parvane::master
