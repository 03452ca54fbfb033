#include "master/raw_socket_link.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
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

}  // namespace

std::string RawSocketLink::Refusal(const Error& error, const std::string& interface) {
    switch (error.code) {
        case Errc::kNoInterface:
            if (error.detail == 1)
                return "no network interface named \"" + interface + "\"";
            return "no network interface named " + interface + " (see ip link for the names)";
        case Errc::kNoPermission:
            return "cannot open interface " + interface +
                   ": needs CAP_NET_RAW: run as root or setcap cap_net_raw+ep on the driver";
        default:
            return "cannot open interface " + interface + ": " +
                   (error.call != nullptr ? error.call : "open") + ": " +
                   std::strerror(static_cast<int>(error.detail));
    }
}

RawSocketLink::RawSocketLink(common::UniqueFd fd, std::string interface)
    : fd_(std::move(fd)), interface_(std::move(interface)) {}

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
    return std::make_unique<RawSocketLink>(std::move(fd), interface);
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
