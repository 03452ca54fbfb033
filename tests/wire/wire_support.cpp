#include "tests/wire/wire_support.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace wiretest {
namespace {

constexpr std::uint16_t kEtherType = 0x88A4;

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

std::string MasterInterface() {
    return EnvOr("WIRE_MASTER_IF", "ecm0");
}
std::string SlaveInterface() {
    return EnvOr("WIRE_SLAVE_IF", "ecs0");
}

RawSocket::RawSocket(const std::string& interface) {
    const unsigned index = if_nametoindex(interface.c_str());
    if (index == 0)
        return;
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    int one = 1;
    setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kEtherType);
    address.sll_ifindex = static_cast<int>(index);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

RawSocket::~RawSocket() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawSocket::Send(std::span<const std::uint8_t> frame) {
    return send(fd_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

std::optional<std::vector<std::uint8_t>> RawSocket::Receive(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
            continue;
        std::vector<std::uint8_t> frame(2048);
        const ssize_t n = recv(fd_, frame.data(), frame.size(), MSG_DONTWAIT);
        if (n > 0) {
            frame.resize(static_cast<std::size_t>(n));
            return frame;
        }
    }
}

Capture::Capture(const std::string& interface, const std::filesystem::path& file,
                 const std::string& direction)
    : file_(file),
      tcpdump_({"/usr/bin/tcpdump", "-i", interface, "-Q", direction, "-Z", "root",
                "--immediate-mode", "-s", "1600", "-B", "16384", "-U", "-n", "-w", file.string(),
                "ether", "proto", "0x88a4"},
               {}) {
    // tcpdump says "listening on" once its capture is open.
    started_ = testsupport::WaitUntil(
        [&] { return tcpdump_.Err().find("listening on") != std::string::npos; },
        std::chrono::seconds(10));
}

Capture::~Capture() {
    Stop();
}

bool Capture::WaitForFrames(std::size_t frames, std::chrono::milliseconds timeout) const {
    // A pcap file: a 24-byte header, then per frame a 16-byte record header
    // whose third field is the captured length, and the frame.
    auto count = [&] {
        const std::string bytes = testsupport::ReadFile(file_);
        std::size_t n = 0;
        for (std::size_t at = 24; at + 16 <= bytes.size(); ++n) {
            std::uint32_t length = 0;
            std::memcpy(&length, bytes.data() + at + 8, sizeof length);
            at += 16 + length;
            if (at > bytes.size())
                break;
        }
        return n;
    };
    return testsupport::WaitUntil([&] { return count() >= frames; }, timeout);
}

void Capture::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    tcpdump_.Kill(SIGINT);
    tcpdump_.Wait(std::chrono::seconds(10));
}

Decoded DecodeWithTshark(const std::filesystem::path& file) {
    Decoded decoded;
    // One line per frame: the frame's protocols, its datagram commands and
    // their indexes.
    const auto fields = testsupport::Run(
        {"/usr/bin/tshark", "-n", "-r", file.string(), "-T", "fields", "-e", "frame.protocols",
         "-e", "ecat.cmd", "-e", "ecat.idx", "-E", "occurrence=a", "-E", "aggregator=,"},
        {}, std::chrono::seconds(120));
    decoded.exitCode = fields.exitCode;
    decoded.text = fields.out + fields.err;
    for (const std::string& line : Lines(fields.out)) {
        if (line.empty())
            continue;
        ++decoded.frames;
        if (line.find("malformed") != std::string::npos)
            ++decoded.malformed;
        std::vector<std::string> columns;
        std::istringstream in(line);
        for (std::string column; std::getline(in, column, '\t');)
            columns.push_back(column);
        columns.resize(3);
        if (columns[1].empty())
            continue;
        const std::size_t commands =
            1 + static_cast<std::size_t>(std::count(columns[1].begin(), columns[1].end(), ','));
        decoded.datagrams += commands;
        decoded.exchanges.emplace_back(columns[2].substr(0, columns[2].find(',')), commands);
    }
    return decoded;
}

std::size_t Unanswered(const Decoded& sent, const Decoded& returned) {
    std::multimap<std::string, std::size_t> replies(returned.exchanges.begin(),
                                                    returned.exchanges.end());
    std::size_t unanswered = 0;
    for (const auto& [index, commands] : sent.exchanges) {
        auto [first, last] = replies.equal_range(index);
        auto reply = std::find_if(first, last, [&](const auto& r) { return r.second == commands; });
        if (reply == last) {
            ++unanswered;
            continue;
        }
        replies.erase(reply);
    }
    return unanswered;
}

}  // namespace wiretest
