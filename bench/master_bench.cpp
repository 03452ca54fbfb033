// The master's bring-up through frames against emulated slaves in the same
// process: frames exchanged and milliseconds for 1,000 and 10,000 slaves
// (count, addresses, identities from every EEPROM).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/eni_text.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/bring_up.h"
#include "master/log.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace master = parvane::master;

void Quiet(const char*) {}

void Row(const char* what, double ms, unsigned long long frames, bool identified) {
    char measured[64];
    std::snprintf(measured, sizeof measured, "%llu frames, %.1f ms%s", frames, ms,
                  identified ? "" : " (FAILED)");
    std::printf("| %-44s | %-26s |\n", what, measured);
}

}  // namespace

int main() {
    master::SetLogSink(&Quiet);
    std::printf("| %-44s | %-26s |\n", "master bring-up (in process)", "median of 5");
    std::printf("|%s|%s|\n", std::string(46, '-').c_str(), std::string(28, '-').c_str());
    for (std::size_t count : {1000u, 10000u}) {
        auto eni = parvane::eni::ReadEniText(benchdata::EniText(count, true));
        if (!eni) {
            std::fprintf(stderr, "generated ENI refused: %s\n", eni.error().message.c_str());
            return 1;
        }
        auto segment = parvane::emulator::BuildSegment(eni->config, {});
        parvane::emulator::InProcessLink link(*segment);
        master::Exchange exchange(link, {});
        std::vector<double> ms;
        unsigned long long frames = 0;
        std::size_t identified = 0;
        for (int i = 0; i < 5; ++i) {
            const auto before = exchange.counters().framesSent;
            const auto start = Clock::now();
            auto found = master::BringUp(exchange, eni->config);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            frames = exchange.counters().framesSent - before;
            identified = 0;
            if (found) {
                for (const auto& slave : found->slaves)
                    identified += slave.identity ? 1 : 0;
            }
        }
        std::sort(ms.begin(), ms.end());
        char what[64];
        std::snprintf(what, sizeof what, "bring-up, %zu slaves", count);
        Row(what, ms[ms.size() / 2], frames, identified == count);
    }
    return 0;
}
