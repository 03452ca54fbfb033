// Throughput and memory of the emulated slaves: datagrams per second through
// a 10,000-slave segment (frames of 100 APRD or FPRD, frames of one LRW over
// every slave's bit) and the memory that segment holds. Prints rows in the
// format of the main benchmark table.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/network.h"

namespace {

using namespace parvane;
using Steady = std::chrono::steady_clock;

constexpr std::size_t kSlaves = 10000;

void Row(const char* what, const std::string& measured, const char* target, bool met) {
    std::printf("| %-44s | %-26s | %-15s | %-4s |\n", what, measured.c_str(), target,
                *target == '\0' ? ""
                : met           ? "met"
                                : "MISS");
    std::fflush(stdout);
}

std::string Text(const char* format, double a, double b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

// A typical small IO device: CoE mailbox, 2 bytes out, 2 bytes in.
eni::Slave Device() {
    eni::Slave s;
    s.name = "IO device";
    s.identity = {0x00000ABC, 0x00001234, 0x00010000};
    eni::Mailbox m;
    m.sendStart = 0x1000;
    m.sendLength = 128;
    m.recvStart = 0x1080;
    m.recvLength = 128;
    m.protocols = 0x04;
    s.mailbox = m;
    eni::ProcessData pd;
    pd.sms = {{2, eni::SmType::kOutputs, 0x1100, 0x64, true, 2, {0x1600}},
              {3, eni::SmType::kInputs, 0x1180, 0x20, true, 2, {0x1A00}}};
    pd.rxPdos = {eni::Pdo{0x1600, "Outputs", false, 2, {{0x7000, 1, 16, "Out", "UINT"}}}};
    pd.txPdos = {eni::Pdo{0x1A00, "Inputs", false, 3, {{0x6000, 1, 16, "In", "UINT"}}}};
    s.processData = pd;
    return s;
}

// Frame bytes laid out as the wire format gives them.
struct FrameWriter {
    std::vector<std::uint8_t> bytes;
    std::size_t last = 0;
    FrameWriter() {
        const std::uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x11,
                                     0x22, 0x33, 0x44, 0x55, 0x88, 0xA4, 0x00, 0x10};
        bytes.assign(head, head + sizeof head);
    }
    void Add(std::uint8_t command, std::uint16_t adp, std::uint16_t ado,
             const std::vector<std::uint8_t>& data) {
        if (last != 0)
            bytes[last + 7] |= 0x80;
        last = bytes.size();
        const std::uint8_t h[] = {command,
                                  static_cast<std::uint8_t>(last),
                                  static_cast<std::uint8_t>(adp),
                                  static_cast<std::uint8_t>(adp >> 8),
                                  static_cast<std::uint8_t>(ado),
                                  static_cast<std::uint8_t>(ado >> 8),
                                  static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(data.size() >> 8),
                                  0,
                                  0};
        bytes.insert(bytes.end(), h, h + sizeof h);
        bytes.insert(bytes.end(), data.begin(), data.end());
        bytes.push_back(0);
        bytes.push_back(0);
        const std::size_t length = bytes.size() - 16;
        bytes[14] = static_cast<std::uint8_t>(length);
        bytes[15] = static_cast<std::uint8_t>(0x10 | (length >> 8));
    }
};

std::vector<std::uint8_t> Fmmu(std::uint32_t logicalByte, std::uint8_t bit, std::uint16_t phys,
                               std::uint8_t type) {
    return {static_cast<std::uint8_t>(logicalByte),
            static_cast<std::uint8_t>(logicalByte >> 8),
            static_cast<std::uint8_t>(logicalByte >> 16),
            static_cast<std::uint8_t>(logicalByte >> 24),
            1,
            0,
            bit,
            bit,
            static_cast<std::uint8_t>(phys),
            static_cast<std::uint8_t>(phys >> 8),
            0,
            type,
            1,
            0,
            0,
            0};
}

// Runs `frames` through the segment `rounds` times; returns seconds.
double Run(emulator::Segment& segment, std::vector<FrameWriter>& frames, int rounds) {
    std::vector<std::uint8_t> work;
    std::size_t answered = 0;
    const auto start = Steady::now();
    for (int r = 0; r < rounds; ++r) {
        for (const FrameWriter& f : frames) {
            work = f.bytes;
            answered += segment.Process(work) == emulator::FrameOutcome::kAnswered ? 1 : 0;
        }
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    if (answered != frames.size() * static_cast<std::size_t>(rounds)) {
        std::fprintf(stderr, "only %zu of %zu frames answered\n", answered,
                     frames.size() * static_cast<std::size_t>(rounds));
        std::exit(1);
    }
    return seconds;
}

// The working counter of every datagram of a frame after one pass.
bool EveryWkcIs(emulator::Segment& segment, const FrameWriter& frame, unsigned wkc) {
    std::vector<std::uint8_t> work = frame.bytes;
    segment.Process(work);
    std::size_t at = 16;
    for (;;) {
        const std::size_t n = work[at + 6] | ((work[at + 7] & 0x07) << 8);
        const unsigned got = work[at + 10 + n] | (work[at + 11 + n] << 8);
        if (got != wkc)
            return false;
        if ((work[at + 7] & 0x80) == 0)
            return true;
        at += 12 + n;
    }
}

}  // namespace

int main() {
    eni::NetworkConfig config;
    config.slaves.assign(kSlaves, Device());
    const long before = RssKb();
    auto segment = emulator::BuildSegment(config, emulator::Description{});

    // Bring-up as a master does it: station addresses, then FMMUs that give
    // every slave one output bit and one input bit of a 1250-byte image.
    std::vector<FrameWriter> setup;
    for (std::size_t i = 0; i < kSlaves; i += 20) {
        FrameWriter f;
        for (std::size_t j = i; j < i + 20 && j < kSlaves; ++j) {
            const auto adp = static_cast<std::uint16_t>(0u - j);
            const auto station = static_cast<std::uint16_t>(0x1000 + j);
            f.Add(2, adp, 0x0010,
                  {static_cast<std::uint8_t>(station), static_cast<std::uint8_t>(station >> 8)});
            auto fmmus = Fmmu(0x10000 + j / 8, static_cast<std::uint8_t>(j % 8), 0x1100, 2);
            auto input = Fmmu(0x10000 + j / 8, static_cast<std::uint8_t>(j % 8), 0x1180, 1);
            fmmus.insert(fmmus.end(), input.begin(), input.end());
            f.Add(2, adp, 0x0600, fmmus);
        }
        setup.push_back(std::move(f));
    }
    Run(*segment, setup, 1);
    const long after = RssKb();
    const std::size_t counted = segment->MemoryBytes();

    // Frames of 100 APRD, each to another position, cycling over the line.
    std::vector<FrameWriter> aprd, fprd;
    for (std::size_t i = 0; i < kSlaves; i += 100) {
        FrameWriter a, f;
        for (std::size_t j = i; j < i + 100; ++j) {
            a.Add(1, static_cast<std::uint16_t>(0u - j), 0x0130, {0, 0});
            f.Add(4, static_cast<std::uint16_t>(0x1000 + j), 0x0130, {0, 0});
        }
        aprd.push_back(std::move(a));
        fprd.push_back(std::move(f));
    }
    FrameWriter lrw;
    lrw.Add(12, 0x0000, 0x0001, std::vector<std::uint8_t>(kSlaves / 8, 0x55));
    std::vector<FrameWriter> lrwFrames{lrw};

    {
        std::vector<std::uint8_t> check = lrw.bytes;
        segment->Process(check);
        const std::size_t w = 16 + 10 + kSlaves / 8;
        const unsigned wkc = check[w] | (check[w + 1] << 8);
        if (wkc != 3 * kSlaves) {
            std::fprintf(stderr, "LRW working counter %u, expected %zu\n", wkc, 3 * kSlaves);
            return 1;
        }
    }

    if (!EveryWkcIs(*segment, aprd.front(), 1) || !EveryWkcIs(*segment, fprd.back(), 1)) {
        std::fprintf(stderr, "an addressed datagram missed its slave\n");
        return 1;
    }
    const int rounds = 20;
    const double aprdSeconds = Run(*segment, aprd, rounds);
    const double aprdRate = static_cast<double>(kSlaves) * rounds / aprdSeconds;
    const double fprdSeconds = Run(*segment, fprd, rounds);
    const double fprdRate = static_cast<double>(kSlaves) * rounds / fprdSeconds;
    const int lrwRounds = 50;
    const double lrwSeconds = Run(*segment, lrwFrames, lrwRounds);
    const double lrwRate = lrwRounds / lrwSeconds;

    // Every slave to PREOP and one SDO upload (0x1018:01) from each: the
    // mailboxes come to life.
    std::vector<FrameWriter> mailboxes;
    for (std::size_t i = 0; i < kSlaves; i += 10) {
        FrameWriter sm, request, reply;
        for (std::size_t j = i; j < i + 10; ++j) {
            const auto adp = static_cast<std::uint16_t>(0u - j);
            sm.Add(2, adp, 0x0800,
                   {0x00, 0x10, 0x80, 0x00, 0x26, 0x00, 0x01, 0x00,    // SM0 0x1000/128
                    0x80, 0x10, 0x80, 0x00, 0x22, 0x00, 0x01, 0x00});  // SM1 0x1080/128
            std::vector<std::uint8_t> upload = {0x0A, 0x00, 0x00, 0x00, 0x00, 0x13, 0x00, 0x20,
                                                0x40, 0x18, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00};
            upload.resize(128, 0);
            request.Add(2, adp, 0x1000, upload);
            reply.Add(1, adp, 0x1080, std::vector<std::uint8_t>(128, 0));
        }
        mailboxes.push_back(std::move(sm));
        if (i + 10 >= kSlaves) {
            FrameWriter preop;
            preop.Add(8, 0, 0x0120, {0x02, 0x00});
            mailboxes.push_back(std::move(preop));
        }
    }
    Run(*segment, mailboxes, 1);
    mailboxes.clear();
    for (std::size_t i = 0; i < kSlaves; i += 10) {
        FrameWriter request, reply;
        for (std::size_t j = i; j < i + 10; ++j) {
            const auto adp = static_cast<std::uint16_t>(0u - j);
            std::vector<std::uint8_t> upload = {0x0A, 0x00, 0x00, 0x00, 0x00, 0x13, 0x00, 0x20,
                                                0x40, 0x18, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00};
            upload.resize(128, 0);
            request.Add(2, adp, 0x1000, upload);
            reply.Add(1, adp, 0x1080, std::vector<std::uint8_t>(128, 0));
        }
        mailboxes.push_back(std::move(request));
        mailboxes.push_back(std::move(reply));
    }
    Run(*segment, mailboxes, 1);
    const long withMailboxes = RssKb();

    Row("emulator, 10000 slaves: frames of 100 APRD", Text("%.2f M datagrams/s", aprdRate / 1e6),
        ">= 1 M/s", aprdRate >= 1e6);
    Row("emulator, 10000 slaves: frames of 100 FPRD", Text("%.2f M datagrams/s", fprdRate / 1e6),
        ">= 1 M/s", fprdRate >= 1e6);
    Row("emulator, 10000 slaves: one LRW over all",
        Text("%.0f frames/s (%.1f M slaves/s)", lrwRate, lrwRate * kSlaves / 1e6), "", false);
    Row("emulator, 10000-slave segment memory",
        Text("%.1f MB (RSS +%.1f MB)", static_cast<double>(counted) / 1048576.0,
             static_cast<double>(after - before) / 1024.0),
        "<= 48 MB", static_cast<double>(after - before) <= 48 * 1024 && counted <= 48u * 1048576u);
    Row("... in PREOP, after an SDO upload from each",
        Text("RSS +%.1f MB", static_cast<double>(withMailboxes - before) / 1024.0), "<= 48 MB",
        withMailboxes - before <= 48 * 1024);
    return 0;
}
