#include "master/network_scan.h"

#include <algorithm>
#include <array>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "master/bring_up.h"
#include "master/log.h"
#include "master/network_scan_steps.h"

namespace parvane::master {

namespace sii = ecat::sii;

namespace {

// The words of the SII read past its categories at most: 32 Kibit, the
// largest EEPROM a slave carries.
constexpr std::size_t kMaxCategoryWords = 0x800 - sii::kWordFirstCategory;

// How far a slave's category image is known: the next category header not
// yet reached, and whether the walk is over.
struct CategoryWalk {
    std::size_t header = 0;  // in words from the first category
    std::size_t limit = kMaxCategoryWords;
    bool done = false;
};

void Advance(CategoryWalk& walk, const std::vector<std::uint8_t>& image) {
    const std::size_t words = image.size() / 2;
    while (!walk.done && walk.header < words) {
        const std::uint16_t type = ecat::Get16(&image[2 * walk.header]);
        if (type == static_cast<std::uint16_t>(sii::Category::kEnd)) {
            walk.done = true;
            return;
        }
        if (walk.header + 2 > words)
            return;
        walk.header += 2 + ecat::Get16(&image[2 * walk.header + 2]);
        if (walk.header >= walk.limit)
            walk.done = true;
    }
}

}  // namespace

// Reads each slave's categories, all slaves together: one word address at a
// time for every slave whose end marker is not yet in sight.
void ReadCategoryImages(Exchange& exchange, const std::vector<std::uint16_t>& stations,
                        const std::vector<std::uint16_t>& sizeWords,
                        std::vector<std::vector<std::uint8_t>>& images,
                        const std::function<void(std::size_t)>& progress,
                        const std::atomic<bool>* stop) {
    const std::size_t count = stations.size();
    images.assign(count, {});
    std::vector<CategoryWalk> walks(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t declared = (static_cast<std::size_t>(sizeWords[i]) + 1) * 64;
        if (sizeWords[i] != 0xFFFF && declared > sii::kWordFirstCategory)
            walks[i].limit = std::min(kMaxCategoryWords, declared - sii::kWordFirstCategory);
    }
    std::vector<std::uint16_t> active;
    std::vector<std::size_t> which;
    std::vector<std::expected<EepromWords, Error>> results;
    std::size_t word = 0;
    for (;;) {
        active.clear();
        which.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if (!walks[i].done && images[i].size() / 2 == word) {
                active.push_back(stations[i]);
                which.push_back(i);
            }
        }
        if (active.empty() || (stop != nullptr && stop->load()))
            break;
        ReadEepromWordsOfAll(exchange, active, sii::kWordFirstCategory + word, results);
        std::uint8_t step = 8;
        for (const auto& r : results)
            if (r)
                step = std::min(step, r->size);
        for (std::size_t k = 0; k < which.size(); ++k) {
            CategoryWalk& walk = walks[which[k]];
            if (!results[k] || results[k]->size < step || step == 0) {
                walk.done = true;  // the walk ends where the EEPROM stops answering
                continue;
            }
            auto& image = images[which[k]];
            image.insert(image.end(), results[k]->bytes.begin(), results[k]->bytes.begin() + step);
            Advance(walk, image);
            if (!walk.done && image.size() / 2 >= walk.limit)
                walk.done = true;
            if (walk.done && progress)
                progress(which[k]);
        }
        word += step / 2u;
    }
}

std::expected<ScannedNetwork, Error> ScanNetwork(Exchange& exchange, const ScanOptions& options) {
    const auto report = [&options](ScanProgress::Stage stage, std::size_t done, std::size_t total) {
        if (options.progress)
            options.progress({stage, done, total});
    };
    // Whatever state a previous run left the slaves in, the scan starts
    // from INIT, so no sync manager it writes is in use.
    if (auto down = ToInit(exchange); !down && down.error() == Errc::kLinkDown)
        return std::unexpected(down.error());
    BringUpOptions bringUp;
    bringUp.logSlaves = false;
    // Nothing waits on a scan: give slow EEPROMs five times the time the
    // driver's bring-up gives them.
    bringUp.eeprom.timeout = 5 * bringUp.eeprom.timeout;
    auto segment = BringUp(exchange, eni::NetworkConfig{}, bringUp);
    if (!segment)
        return std::unexpected(segment.error());
    const std::size_t count = segment->slaves.size();
    if (count == 0)
        return std::unexpected(Error{Errc::kNoReply});
    ScannedNetwork network;
    network.slaves.resize(count);
    for (std::size_t p = 0; p < count; ++p) {
        ScannedSlave& slave = network.slaves[p];
        slave.position = static_cast<std::uint16_t>(p);
        slave.stationAddress = segment->slaves[p].found.stationAddress;
        if (segment->slaves[p].identity)
            slave.identity = *segment->slaves[p].identity;
        else
            slave.eepromError =
                ErrorText(segment->slaves[p].eepromError.value_or(Error{Errc::kNoReply}));
    }
    report(ScanProgress::Stage::kFound, count, count);

    auto result = ReadSlaves(exchange, network, options);
    // The scan always leaves the slaves in INIT, also when it failed.
    auto down = ToInit(exchange);
    if (!result)
        return std::unexpected(result.error());
    if (!down)
        Log("scan: not every slave went back to INIT (%s)", ErrorText(down.error()));
    return network;
}

}  // namespace parvane::master
