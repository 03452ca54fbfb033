// The network scan and the ENI written from it, through frames against
// emulated slaves in the same process: 1,000 generated configurator-shaped
// slaves (CoE mailbox), and 1,000 copies of the drives of a real export
// (CoE, PDO mappings read by SDO in PREOP); milliseconds of the scan + of
// the writing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench/eni_text.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/network_scan.h"
#include "scan/eni_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace master = parvane::master;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Scans the segment three times and writes an ENI each time; one row.
void Measure(const char* what, const parvane::eni::NetworkConfig& config) {
    auto segment = parvane::emulator::BuildSegment(config, {});
    parvane::emulator::InProcessLink link(*segment);
    master::Exchange exchange(link, {});
    std::vector<double> scanMs, totalMs;
    unsigned long long frames = 0;
    std::size_t found = 0, bytes = 0;
    for (int i = 0; i < 3; ++i) {
        const auto before = exchange.counters().framesSent;
        const auto start = Clock::now();
        auto scanned = master::ScanNetwork(exchange);
        scanMs.push_back(Ms(start));
        const std::string text = scanned ? parvane::scan::WriteEni(*scanned) : std::string();
        totalMs.push_back(Ms(start));
        frames = exchange.counters().framesSent - before;
        found = scanned ? scanned->slaves.size() : 0;
        bytes = text.size();
    }
    std::sort(scanMs.begin(), scanMs.end());
    std::sort(totalMs.begin(), totalMs.end());
    char row[96], measured[96];
    std::snprintf(row, sizeof row, "%s %zu (%zu kB ENI)", what, found, bytes / 1024);
    std::snprintf(measured, sizeof measured, "%llu frames, %.0f + %.0f ms%s", frames, scanMs[1],
                  totalMs[1] - scanMs[1], found == config.slaves.size() ? "" : " (FAILED)");
    std::printf("| %-44s | %-26s |\n", row, measured);
}

// `count` copies of the drives of a real export: CoE in PREOP, PDO
// mappings of several entries each.
std::optional<parvane::eni::NetworkConfig> Drives(const char* path, std::size_t count) {
    auto eni = parvane::eni::ReadEniFile(path);
    if (!eni || eni->config.slaves.empty())
        return std::nullopt;
    parvane::eni::NetworkConfig config = eni->config;
    config.slaves.clear();
    for (std::size_t i = 0; i < count; ++i) {
        parvane::eni::Slave slave = eni->config.slaves[i % eni->config.slaves.size()];
        slave.physAddr = static_cast<std::uint16_t>(1001 + i);
        slave.autoIncAddr = static_cast<std::uint16_t>(0x10000 - i);
        slave.previousPort.reset();
        config.slaves.push_back(std::move(slave));
    }
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("| %-44s | %-26s |\n", "network scan and ENI written (in process)", "median of 3");
    std::printf("|%s|%s|\n", std::string(46, '-').c_str(), std::string(28, '-').c_str());
    auto eni = parvane::eni::ReadEniText(benchdata::EniText(1000, true));
    if (!eni) {
        std::fprintf(stderr, "generated ENI refused: %s\n", eni.error().message.c_str());
        return 1;
    }
    Measure("scan + write, generated slaves:", eni->config);
    const char* drives = argc > 1 ? argv[1] : "../shared/eni-corpus/bigcjv_6axis_servo.xml";
    if (auto config = Drives(drives, 1000))
        Measure("scan + write, drives:", *config);
    return 0;
}
