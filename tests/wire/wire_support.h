// What the wire tests share: the interfaces of the namespace they run in, a
// raw socket on one of them, and captures decoded by tshark.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace wiretest {

// The veth ends the namespace wrapper made (ecm0 / ecs0).
std::string MasterInterface();
std::string SlaveInterface();

// A raw EtherCAT socket bound to one interface; its own sent frames are
// never received.
class RawSocket {
  public:
    explicit RawSocket(const std::string& interface);
    ~RawSocket();
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool Send(std::span<const std::uint8_t> frame);
    // The next frame within the timeout.
    std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds timeout);

  private:
    int fd_ = -1;
};

// tcpdump writing every frame of an interface to a pcap file, from when the
// constructor returns until Stop().
class Capture {
  public:
    // `direction`: "inout", or "out" / "in" for the frames the interface
    // sends / receives only.
    Capture(const std::string& interface, const std::filesystem::path& file,
            const std::string& direction = "inout");
    ~Capture();
    bool started() const { return started_; }
    // Waits (bounded) until the file holds at least `frames` frames: tcpdump
    // writes each one as it takes it from the kernel, which a busy machine
    // may delay past the moment a test is done sending.
    bool WaitForFrames(std::size_t frames, std::chrono::milliseconds timeout) const;
    // Ends the capture and waits until the file is complete.
    void Stop();
    // What tcpdump said (its counts, or why it failed).
    std::string Log() const { return tcpdump_.Err(); }

  private:
    std::filesystem::path file_;
    testsupport::BackgroundProcess tcpdump_;
    bool started_ = false;
    bool stopped_ = false;
};

struct Decoded {
    int exitCode = -1;
    std::size_t frames = 0;
    std::size_t datagrams = 0;  // every ecat.cmd occurrence, sent and returned
    std::size_t malformed = 0;  // frames tshark flags as malformed
    // Per EtherCAT frame: the index of its first datagram and its datagram count.
    std::vector<std::pair<std::string, std::size_t>> exchanges;
    std::string text;  // tshark's output, for messages
};

// Decodes a capture with tshark, Debian's Wireshark command-line tool.
Decoded DecodeWithTshark(const std::filesystem::path& file);

// The frames of `sent` that no frame of `returned` answers (same index, as
// many datagrams), each reply used once.
std::size_t Unanswered(const Decoded& sent, const Decoded& returned);

}  // namespace wiretest
