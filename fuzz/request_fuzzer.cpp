// The driver's handling of client requests: each datagram is decoded and
// answered the way the driver's server does it (at most 64 bytes are
// received; a longer datagram is refused as malformed), over several
// connections to one service.
//
// Input: byte 0 chooses the service's setup (configured or not, the openings
// limit, whether the ENI has slaves, injected faults; the network is a table
// whose state changes take no time).
// Then events follow: a byte with bit 7 set drops connection (byte & 3); any
// other byte sends to connection (byte & 3) a datagram whose size is the next
// byte, filled from the bytes after it (cut at the input's end).
//
// Invariants: every reply echoes the datagram's op and sequence number; a
// malformed datagram is answered with the protocol error and leaves the
// connection open; only a close request goes unanswered; the openings the
// service counts are exactly the connections that hold one, never more than
// the limit.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "driver/master_service.h"
#include "fuzz/fuzz_check.h"
#include "ipc/master_codes.h"
#include "tests/driver/table_network.h"

namespace {

using parvane::ecat::AlState;
using parvane::ipc::MasterExport;

constexpr std::size_t kReceiveSize = 64;  // the server's receive buffer
constexpr std::size_t kConnections = 4;

parvane::driver::ServiceSetup MakeSetup(std::uint8_t choice) {
    parvane::driver::ServiceSetup setup;
    setup.configured = (choice & 0x01) == 0;
    setup.maxOpenings = (choice >> 1) & 0x03;
    if ((choice & 0x08) == 0) {
        setup.eniSlaves = {
            {2, 0x0C1E2C52, 0x00120000}, {2, 0x0B5A3052, 0x00110000}, {2, 0x0C4A3052, 0x00110000}};
    }
    std::vector<parvane::driver::testing::TableSlave> online;
    for (const auto& identity : setup.eniSlaves) {
        online.push_back({identity, AlState::kOp});
    }
    if (!online.empty() && (choice & 0x10) != 0) {
        online.back().maxState = AlState::kSafeOp;
    }
    if ((choice & 0x20) != 0) {
        setup.faults = {
            {MasterExport::Open, {}, {}, {}, kMasterOpenedWithWarning, 1},
            {MasterExport::GetSlaveInfo, 1, {}, {}, kMasterSlaveInfoUnavailable, {}},
            {MasterExport::ReadSlaveEeprom, 0, 16, {}, kMasterTimeout, 2},
            {MasterExport::RequestState, {}, {}, 8, kMasterTimeout, 1},
            {MasterExport::GetState, {}, {}, {}, kMasterTimeout, 3},
        };
    }
    setup.network = std::make_unique<parvane::driver::testing::TableNetwork>(std::move(online));
    return setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    parvane::driver::ServiceSetup setup = MakeSetup(data[0]);
    const std::uint32_t maxOpenings = setup.maxOpenings;
    parvane::driver::MasterService service(std::move(setup));
    std::array<parvane::driver::ConnectionState, kConnections> connections{};

    std::size_t at = 1;
    while (at < size) {
        const std::uint8_t event = data[at++];
        parvane::driver::ConnectionState& connection = connections[event & (kConnections - 1)];
        if ((event & 0x80) != 0) {
            service.Disconnected(connection);
            connection = {};
        } else {
            const std::size_t sent = at < size ? data[at++] : 0;
            const std::size_t available = std::min(sent, size - at);
            const std::size_t received = std::min(available, kReceiveSize);
            auto decoded =
                parvane::ipc::DecodeRequest(std::span<const std::uint8_t>(data + at, received));
            if (available > kReceiveSize) {
                decoded.request.reset();
            }
            at += available;

            const parvane::driver::Answer answer = service.Handle(connection, decoded);
            if (answer.reply) {
                FUZZ_CHECK(answer.reply->op == decoded.rawOp);
                FUZZ_CHECK(answer.reply->seq == decoded.seq);
                (void)parvane::ipc::EncodeReply(*answer.reply);
            } else {
                FUZZ_CHECK(decoded.request && decoded.request->op == MasterExport::Close);
            }
            if (!decoded.request) {
                FUZZ_CHECK(answer.reply && answer.reply->status == kMasterProtocolError);
                FUZZ_CHECK(!answer.close);
            }
            if (answer.close) {
                // The server drops the connection after such an answer.
                service.Disconnected(connection);
                connection = {};
            }
        }

        const auto opened = static_cast<std::uint32_t>(
            std::count_if(connections.begin(), connections.end(),
                          [](const parvane::driver::ConnectionState& c) { return c.opened; }));
        FUZZ_CHECK(service.openings() == opened);
        FUZZ_CHECK(opened <= maxOpenings);
    }
    return 0;
}
