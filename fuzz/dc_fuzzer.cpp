// The clocks' set-up fed any answers: every datagram the master sends comes
// back with its data and working counter taken from the input (what ESCs
// of any kind, or a broken one, might answer), until the input runs out and
// frames go unanswered. Covers the features, latch and receive-time reads,
// the tree and delays built from them, the start of the clocks and the
// reads of the time differences.
//
// Invariants: no read outside a reply (ASan), no overflow (UBSan); a line
// that is set up names a reference among its slaves, one slave per station,
// and no negative delay.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

#include "ecat/frame.h"
#include "fuzz/fuzz_check.h"
#include "master/dc_phase.h"
#include "master/dc_setup.h"
#include "master/exchange.h"
#include "tests/support/scripted_link.h"

namespace {

namespace ecat = parvane::ecat;
namespace master = parvane::master;
using testsupport::Frame;

class Answers {
  public:
    explicit Answers(std::span<const std::uint8_t> input) : input_(input) {}

    // The sent frame with each datagram's data and counter from the input.
    void Answer(const Frame& sent, std::deque<Frame>& arrivals) {
        Frame frame = sent;
        ecat::ParsedFrame parsed;
        if (!ecat::ReadFrame(frame, parsed))
            return;
        frame[6] |= ecat::kMacLocallyAdministered;
        for (std::size_t d = 0; d < parsed.count; ++d) {
            ecat::DatagramView& view = parsed.views[d];
            const auto data = view.data();
            if (input_.size() < data.size() + 2)
                return;  // the input is used up: the frame is lost
            std::copy_n(input_.begin(), data.size(), data.begin());
            view.setWkc(static_cast<std::uint16_t>(input_[data.size()] & 0x07));
            input_ = input_.subspan(data.size() + 2);
        }
        arrivals.push_back(std::move(frame));
    }

  private:
    std::span<const std::uint8_t> input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Answers answers(std::span(data, size));
    testsupport::ScriptedLink link([&answers](const Frame& sent, int, std::deque<Frame>& arrivals) {
        answers.Answer(sent, arrivals);
    });
    master::ExchangeOptions options;
    options.retries = 0;
    options.replyTimeout = std::chrono::microseconds(0);
    master::Exchange exchange(link, options);

    parvane::eni::NetworkConfig config;
    config.slaves.resize(4);
    config.slaves[2].dc = parvane::eni::DcConfig{.referenceClock = true};
    const std::uint16_t stations[] = {1001, 1002, 1003, 1004, 1005};
    master::DcOptions dc;
    dc.driftFrames = 3;
    auto line = master::SetUpDc(exchange, config, stations, dc);
    if (!line)
        return 0;
    FUZZ_CHECK(line->slaves.size() == std::size(stations));
    if (!line->any())
        return 0;
    FUZZ_CHECK(line->reference < line->slaves.size());
    FUZZ_CHECK(line->ref().dc);
    for (const master::DcSlave& s : line->slaves)
        FUZZ_CHECK(s.delayNs >= 0);
    master::ReadDifferences(exchange, *line);
    master::LogLargestDifference(*line);
    master::PhaseLock phase(1'000'000, 250'000);
    for (const master::DcSlave& s : line->slaves)
        (void)phase.Update(s.localTime);
    return 0;
}
