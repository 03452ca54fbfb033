// The network-description reader fed any bytes as the file's contents; a
// description it accepts is then turned into the simulated network the
// driver would serve, and every slave's EEPROM is read through.
//
// Invariants: accepted without an error or refused with one; the limits the
// reader promises hold; the network has the described slaves, with the
// identities the description (or the ENI) gives them, and every slave can
// reach Init.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "driver/sii_image.h"
#include "driver/sim_description.h"
#include "driver/simulated_network.h"
#include "fuzz/fuzz_check.h"
#include "ipc/master_codes.h"

namespace {

const std::vector<parvane::driver::SlaveIdentity> kEniSlaves = {
    {2, 0x0C1E2C52, 0x00120000},
    {2, 0x0B5A3052, 0x00110000},
    {2, 0x0C4A3052, 0x00110000},
};

void CheckNetwork(const parvane::driver::SimDescription& description) {
    const std::vector<parvane::driver::SimulatedSlave> online =
        parvane::driver::OnlineSlaves(description, kEniSlaves);
    const std::size_t expected =
        description.slaves ? description.slaves->size() : kEniSlaves.size();
    FUZZ_CHECK(online.size() == expected);

    auto now = std::chrono::steady_clock::time_point();
    parvane::driver::SimulatedNetwork network(
        online, std::chrono::milliseconds(description.transitionMs), [&now] { return now; });
    FUZZ_CHECK(network.OnlineCount() == online.size());
    for (std::size_t i = 0; i < online.size(); ++i) {
        const auto position = static_cast<std::uint16_t>(i);
        FUZZ_CHECK(parvane::ecat::IsNetworkState(parvane::ecat::ToWire(online[i].maxState)));
        std::uint32_t value = 0;
        FUZZ_CHECK(network.ReadEeprom(position, 16, 4, value) == kMasterOk);
        FUZZ_CHECK(value == online[i].identity.vendorId);
        FUZZ_CHECK(network.ReadEeprom(position, parvane::driver::kSiiImageSize - 4, 4, value) ==
                   kMasterOk);
        FUZZ_CHECK(network.ReadEeprom(position, parvane::driver::kSiiImageSize - 3, 4, value) ==
                   kMasterEepromRange);
    }

    using parvane::ecat::AlState;
    network.RequestState(AlState::kOp);
    now += std::chrono::milliseconds(description.transitionMs);
    const AlState reached = network.CurrentState();
    FUZZ_CHECK(reached == AlState::kInit || reached == AlState::kOp);
    network.RequestState(AlState::kInit);
    now += std::chrono::milliseconds(description.transitionMs);
    FUZZ_CHECK(network.CurrentState() == AlState::kInit);
}

}  // namespace

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
    CheckNetwork(description);
    return 0;
}
