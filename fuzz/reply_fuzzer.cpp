// The master's reply reader fed any bytes as the frames that come back: the
// exchange sends a fixed set of datagrams (position, station, broadcast and
// logical commands, with and without data) and receives the input's frames.
// Input: chunks, each a mode byte, a 2-byte length and that many bytes. Mode
// 0 takes the chunk as a whole frame; any other mode lays the chunk over the
// proper reply of the frame last sent (XOR from its start), so the input
// can also reach replies that are almost right.
//
// Invariants: no read outside the frame (ASan); a call that succeeds has
// answered every request; a reply never changes a request's length; the
// datagrams of an accepted reply lie inside the received bytes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "ecat/link.h"
#include "fuzz/fuzz_check.h"
#include "master/exchange.h"
#include "master/reply_match.h"
#include "tests/support/scripted_link.h"

namespace {

using parvane::master::DatagramRequest;
using parvane::master::Exchange;
using parvane::master::ExchangeOptions;
namespace ecat = parvane::ecat;

using testsupport::Frame;

// Each receive takes the next chunk of input; nothing arrives when the input
// has no chunk left.
class FuzzLink {
  public:
    explicit FuzzLink(std::span<const std::uint8_t> input) : input_(input) {}

    testsupport::ScriptedLink link{[](const Frame&, int, std::deque<Frame>&) {},
                                   [this](Frame& frame) { return Next(frame); }};

  private:
    bool Next(Frame& frame) {
        if (input_.size() < 3)
            return false;
        const std::uint8_t mode = input_[0];
        std::size_t length = input_[1] | (input_[2] << 8);
        input_ = input_.subspan(3);
        length = std::min(length, input_.size());
        std::span<const std::uint8_t> chunk = input_.first(length);
        input_ = input_.subspan(length);
        if (mode == 0) {
            frame.assign(chunk.begin(), chunk.end());
            return true;
        }
        frame = link.sent.back();
        frame[6] |= ecat::kMacLocallyAdministered;
        frame.resize(std::max(frame.size(), chunk.size()));
        for (std::size_t i = 0; i < chunk.size(); ++i)
            frame[i] ^= chunk[i];
        return true;
    }

    std::span<const std::uint8_t> input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzLink fuzz(std::span(data, size));
    ExchangeOptions options;
    options.retries = 2;
    options.replyTimeout = std::chrono::microseconds(0);
    Exchange exchange(fuzz.link, options);

    std::array<std::uint8_t, 2> count{};
    std::array<std::uint8_t, 6> command{0x00, 0x01, 0x08, 0x00, 0x00, 0x00};
    std::array<std::uint8_t, 14> poll{};
    std::array<std::uint8_t, 40> image{};
    std::vector<std::uint8_t> large(1400, 0x5A);
    std::array<DatagramRequest, 6> requests{
        DatagramRequest{ecat::Command::kBrd, ecat::MakeAddress(0, 0x0000), count},
        DatagramRequest{ecat::Command::kApwr, ecat::MakeAddress(0xFFFF, 0x0010), command},
        DatagramRequest{ecat::Command::kFprd, ecat::MakeAddress(1001, 0x0502), poll},
        DatagramRequest{ecat::Command::kLrw, 0x00010000, image},
        DatagramRequest{ecat::Command::kNop, 0, {}},
        DatagramRequest{ecat::Command::kLwr, 0x00020000, large},
    };
    const std::array<std::size_t, 6> sizes{2, 6, 14, 40, 0, 1400};
    auto result = exchange.Run(requests);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        FUZZ_CHECK(requests[i].data.size() == sizes[i]);
        if (result)
            FUZZ_CHECK(requests[i].answered);
    }

    // The reply reader alone, on the input as one frame, against a frame
    // of the same datagrams.
    std::array<std::uint8_t, ecat::kMaxFrameSize> sentBytes{};
    ecat::FrameBuilder builder(sentBytes);
    builder.Reset(ecat::kBroadcastMac, {0, 1, 2, 3, 4, 5});
    for (const DatagramRequest& r : requests) {
        if (r.data.size() < 100)
            builder.Add(r.command, 7, r.address, r.data.size());
    }
    auto frame = builder.Finish();
    ecat::ParsedFrame sent;
    FUZZ_CHECK(ecat::ReadFrame(std::span(sentBytes.data(), frame.size()), sent).has_value());
    std::vector<std::uint8_t> received(data, data + size);
    ecat::ParsedFrame reply;
    if (parvane::master::MatchReply(sent, received, reply)) {
        FUZZ_CHECK(reply.count == sent.count);
        for (std::size_t i = 0; i < reply.count; ++i) {
            const auto& view = reply.views[i];
            FUZZ_CHECK(view.data().data() + view.data().size() + 2 <=
                       received.data() + received.size());
            FUZZ_CHECK(view.length() == sent.views[i].length());
        }
    }
    return 0;
}
