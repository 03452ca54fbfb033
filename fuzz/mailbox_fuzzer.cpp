// The master's CoE client fed any bytes as what a slave's SM1 mailbox
// holds. First the reply reader alone: the input as one SM1 window, read
// for each step of a transfer. Then whole transfers: a slave at station
// 1001 whose SM1 (48 bytes) holds the input's consecutive windows, one per
// read, and shows itself full while input remains; an upload and a
// segmented download run against it with a short timeout.
//
// Invariants: no read outside the window (ASan); a reply's data lies inside
// the window; expedited data is 1 to 4 bytes; an upload that succeeds
// never reports more bytes than the caller's buffer holds.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "ecat/link.h"
#include "ecat/registers.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/mailbox_link.h"
#include "master/coe_client.h"
#include "master/exchange.h"
#include "tests/support/scripted_link.h"

namespace {

using namespace parvane::master;
namespace ecat = parvane::ecat;

using fuzzsupport::kStation;
using fuzzsupport::kWindows;
using fuzzsupport::MailboxLink;

void CheckReply(std::span<const std::uint8_t> window, SdoStep step) {
    const SdoReply reply = ParseSdoReply(window, step, 0x1C12, 0);
    if (!reply.data.empty()) {
        FUZZ_CHECK(reply.data.data() >= window.data());
        FUZZ_CHECK(reply.data.data() + reply.data.size() <= window.data() + window.size());
    }
    if (reply.kind == SdoReplyKind::kUploadExpedited)
        FUZZ_CHECK(reply.data.size() >= 1 && reply.data.size() <= 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> window(data, data + size);  // exact size: ASan sees overreads
    for (SdoStep step :
         {SdoStep::kDownload, SdoStep::kDownloadSegment, SdoStep::kUpload, SdoStep::kUploadSegment})
        CheckReply(window, step);

    ExchangeOptions options;
    options.retries = 0;
    options.replyTimeout = std::chrono::microseconds(0);
    {
        auto link = MailboxLink(std::span(data, size));
        Exchange exchange(link, options);
        CoeClient client(exchange, kWindows);
        std::array<std::uint8_t, 64> out{};
        const auto got =
            client.Upload(0x1C12, 0, false, out, std::chrono::milliseconds(1), std::stop_token{});
        if (got)
            FUZZ_CHECK(*got <= out.size());
    }
    {
        auto link = MailboxLink(std::span(data, size));
        Exchange exchange(link, options);
        CoeClient client(exchange, kWindows);
        std::array<std::uint8_t, 70> value{};  // more than one SM0 window: segments
        (void)client.Download(0x1C12, 0, true, value, std::chrono::milliseconds(1),
                              std::stop_token{});
    }
    return 0;
}
