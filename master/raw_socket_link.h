// A frame link on a Linux network interface: an AF_PACKET raw socket bound
// to the interface for EtherType 0x88A4. Frames the host sends itself are
// never received (PACKET_IGNORE_OUTGOING, and a returned frame must carry a
// source address other than the one sent when that address is universal,
// since every slave sets its locally-administered bit). A frame the kernel
// cannot queue (ENOBUFS) is lost, not an error. Receive waits by a
// CLOCK_MONOTONIC deadline.
//
// One master per wire: the link holds an advisory lock (flock) on a lock
// file of the interface in its network namespace for as long as it lives,
// so a second master on the same interface (the driver, a scan) is refused
// with kBusy instead of mixing its frames with the first one's. The kernel
// drops the lock when the holder ends, however it ends; the link removes the
// file when it goes.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "common/unique_fd.h"
#include "ecat/frame.h"
#include "ecat/link.h"
#include "master/error.h"

namespace parvane::master {

class RawSocketLink : public ecat::Link {
  public:
    // The error is kNoInterface, kNoPermission, kBusy or kSystem.
    static std::expected<std::unique_ptr<RawSocketLink>, Error> Open(const std::string& interface);
    // Why `interface` could not be opened, in one line for the log that
    // names the interface and the fix.
    static std::string Refusal(const Error& error, const std::string& interface);

    std::expected<void, ecat::LinkError> Send(std::span<const std::uint8_t> frame) override;
    std::expected<std::size_t, ecat::LinkError> Receive(std::span<std::uint8_t> buffer,
                                                        Clock::time_point deadline) override;

    // The lock file of `interface` in this process's network namespace:
    // /run/parvane/nic-<namespace inode>-<interface>.lock.
    static std::string LockPath(const std::string& interface);

    // Takes a socket Open has bound, and the interface's lock it holds.
    RawSocketLink(common::UniqueFd fd, std::string interface, common::UniqueFd lock = {});
    ~RawSocketLink() override;
    RawSocketLink(const RawSocketLink&) = delete;
    RawSocketLink& operator=(const RawSocketLink&) = delete;

    const std::string& interface() const { return interface_; }

  private:
    common::UniqueFd fd_;
    std::string interface_;
    common::UniqueFd lock_;
    // The source address of the last frame sent, to recognise it coming back
    // unchanged (no slave passed it).
    ecat::MacAddress lastSource_{};
    bool sent_ = false;
};

}  // namespace parvane::master
