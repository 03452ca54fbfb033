// The driver's reader of the network description fed any bytes as the
// file's contents (the driver takes its own keys from it: the fault rules
// and the openings limit; the emulated slaves read the rest themselves).
//
// Invariants: accepted without an error or refused with one; the limits the
// reader promises hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/sim_description.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto read =
        parvane::driver::ReadSimText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!read) {
        FUZZ_CHECK(!read.error().message.empty());
        return 0;
    }
    const parvane::driver::SimDescription& description = *read;
    FUZZ_CHECK(description.maxOpenings <= parvane::driver::kMaxOpeningsLimit);
    FUZZ_CHECK(description.transitionMs <= 3600000);
    FUZZ_CHECK(!description.slaves || description.slaves->size() <= 0xFFFF);
    for (const parvane::driver::FaultRule& rule : description.faults) {
        FUZZ_CHECK(!rule.state || parvane::ecat::IsNetworkState(*rule.state));
    }
    return 0;
}
