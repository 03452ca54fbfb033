// The SoE and EoE readers of both sides fed any bytes. The master: the input
// as one SM1 window, read as the reply to an SoE write and read and to an
// EoE set-IP request; then whole transfers (an SoE write, an SoE read, an
// EoE set-IP request) against a slave at station 1001 whose SM1 (48 bytes)
// holds the input's consecutive windows, one per read. The emulated slave:
// the input as an SoE and an EoE request to its servers, and the IP
// parameters read in both layouts.
//
// Invariants: no read outside the window (ASan); a reply's data lies inside
// the window; an SoE read that succeeds never reports more bytes than the
// caller's buffer holds; IP parameters that decode encode to as many bytes
// as the layout gives them and decode again to the same values.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "ecat/mailbox.h"
#include "ecat/registers.h"
#include "emulator/eoe_server.h"
#include "emulator/soe_server.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/mailbox_link.h"
#include "master/eoe_client.h"
#include "master/exchange.h"
#include "master/mailbox_transport.h"
#include "master/soe_client.h"
#include "tests/support/scripted_link.h"

namespace {

using namespace parvane::master;
namespace ecat = parvane::ecat;
namespace emulator = parvane::emulator;

using fuzzsupport::kStation;
using fuzzsupport::kWindows;
using fuzzsupport::MailboxLink;

template <typename Span>
void CheckInside(Span data, std::span<const std::uint8_t> window) {
    if (!data.empty()) {
        FUZZ_CHECK(data.data() >= window.data());
        FUZZ_CHECK(data.data() + data.size() <= window.data() + window.size());
    }
}

void ReadReplies(std::span<const std::uint8_t> window) {
    for (auto op : {ecat::SoeOpCode::kWriteRequest, ecat::SoeOpCode::kReadRequest})
        CheckInside(ParseSoeReply(window, op, 0, 15).data, window);
    CheckInside(ParseEoeReply(window, ecat::EoeFrameType::kSetIpResponse).body, window);
}

void RunTransfers(std::span<const std::uint8_t> input) {
    ExchangeOptions options;
    options.retries = 0;
    options.replyTimeout = std::chrono::microseconds(0);
    const std::array<std::uint8_t, 70> value{};  // more than one SM0 window: fragments
    const std::array<std::uint8_t, 62> setIp{0x02};
    for (int run = 0; run < 3; ++run) {
        auto link = MailboxLink(input);
        Exchange exchange(link, options);
        MailboxTransport mailbox(exchange, kWindows);
        const auto timeout = std::chrono::milliseconds(1);
        if (run == 0) {
            (void)SoeClient(mailbox).Write(0, 15, 0x40, value, timeout, {});
        } else if (run == 1) {
            std::array<std::uint8_t, 64> out{};
            const auto got = SoeClient(mailbox).Read(0, 15, 0x40, out, timeout, {});
            if (got)
                FUZZ_CHECK(*got <= out.size());
        } else {
            (void)EoeClient(mailbox).Run(std::span(setIp).first(30), timeout, {});
        }
    }
}

void ServeRequests(std::span<const std::uint8_t> request) {
    emulator::SoeServer soe({{0, 15, {1, 0}}, {1, 0x8064, {}}});
    bool malformed = false;
    for (const auto& reply : soe.Handle(request, 48, malformed))
        FUZZ_CHECK(reply.size() >= ecat::kSoeHeaderSize);
    emulator::EoeServer eoe;
    const auto reply = eoe.Handle(request, malformed);
    if (reply)
        FUZZ_CHECK(reply->size() >= ecat::kEoeHeaderSize);
    for (bool fixed : {true, false}) {
        const auto p = ecat::EoeIpParameters::Decode(request, fixed);
        if (!p)
            continue;
        std::vector<std::uint8_t> out(p->Size(fixed));
        FUZZ_CHECK(p->Encode(out, fixed) == out.size());
        const auto again = ecat::EoeIpParameters::Decode(out, fixed);
        FUZZ_CHECK(again && *again == *p);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> window(data, data + size);  // exact size: ASan sees overreads
    ReadReplies(window);
    RunTransfers(window);
    ServeRequests(window);
    return 0;
}
