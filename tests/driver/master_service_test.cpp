#include "driver/master_service.h"

#include <gtest/gtest.h>

#include "ipc/master_codes.h"
#include "tests/driver/table_network.h"

namespace parvane::driver {
namespace {

using parvane::ipc::DecodedRequest;
using parvane::ipc::Request;

DecodedRequest Req(MasterExport op, std::uint32_t a0 = 0, std::uint32_t a1 = 0,
                   std::uint32_t a2 = 0) {
    Request request{op, 7, a0, a1, a2};
    DecodedRequest decoded;
    decoded.request = request;
    decoded.rawOp = static_cast<std::uint32_t>(op);
    decoded.seq = 7;
    return decoded;
}

ServiceSetup MakeSetup(std::vector<FaultRule> faults = {}, std::uint32_t maxOpenings = 16,
                       std::vector<SlaveIdentity> eni = {{2, 0x10, 0x20}, {2, 0x11, 0x21}}) {
    ServiceSetup setup;
    setup.configured = true;
    std::vector<testing::TableSlave> online;
    for (const auto& identity : eni)
        online.push_back({identity, AlState::kOp});
    online.resize(1);  // one slave answers
    setup.eniSlaves = std::move(eni);
    setup.network = std::make_unique<testing::TableNetwork>(online);
    setup.faults = std::move(faults);
    setup.maxOpenings = maxOpenings;
    return setup;
}

std::uint16_t Status(const Answer& answer) {
    return answer.reply ? answer.reply->status : 0xFFFF;
}

TEST(MasterService, AnswersTheOperationsOfAnOpenedConnection) {
    MasterService service(MakeSetup());
    ConnectionState c;
    Answer open = service.Handle(c, Req(MasterExport::Open));
    EXPECT_EQ(Status(open), kMasterOk);
    EXPECT_FALSE(open.close);
    EXPECT_EQ(open.reply->seq, 7u);

    EXPECT_EQ(service.Handle(c, Req(MasterExport::GetEniSlaveCount)).reply->value0, 2u);
    EXPECT_EQ(service.Handle(c, Req(MasterExport::GetOnlineSlaveCount)).reply->value0, 1u);
    auto info = service.Handle(c, Req(MasterExport::GetSlaveInfo, 1)).reply;
    EXPECT_EQ(info->status, kMasterOk);
    EXPECT_EQ(info->value1, 0x11u);
    EXPECT_EQ(info->value2, 0x21u);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetSlaveInfo, 2))), kMasterNoSuchSlave);

    auto eeprom = service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 0x8000, 20, 4)).reply;
    EXPECT_EQ(eeprom->status, kMasterOk);
    EXPECT_EQ(eeprom->value0, 0x10u);
    // Without the position bit the selector is a station address.
    EXPECT_EQ(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 1001, 20, 4)).reply->value0,
              0x10u);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 0x8001, 20, 4))),
              kMasterNoSuchSlave);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 5, 20, 4))),
              kMasterNoSuchSlave);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 0x8000, 200, 4))),
              kMasterEepromRange);

    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::RequestState, 3))), kMasterInvalidState);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::RequestState, 8))), kMasterOk);
    auto state = service.Handle(c, Req(MasterExport::GetState)).reply;
    EXPECT_EQ(state->value0, 8u);
    EXPECT_EQ(state->value1, 8u);

    EXPECT_TRUE(service.Handle(c, Req(MasterExport::Close)).close);
}

TEST(MasterService, MalformedAndOutOfOrderRequestsAreProtocolErrors) {
    MasterService service(MakeSetup());
    ConnectionState c;
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetState))), kMasterProtocolError);
    DecodedRequest garbage;
    garbage.rawOp = 99;
    garbage.seq = 3;
    Answer answer = service.Handle(c, garbage);
    EXPECT_EQ(Status(answer), kMasterProtocolError);
    EXPECT_EQ(answer.reply->op, 99u);
    EXPECT_EQ(answer.reply->seq, 3u);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::Open))), kMasterOk);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::Open))), kMasterProtocolError);
    EXPECT_EQ(service.openings(), 1u);
}

TEST(MasterService, OpeningsAreLimitedAndFreedOnDisconnect) {
    MasterService service(MakeSetup({}, 2));
    ConnectionState a, b, c;
    EXPECT_EQ(Status(service.Handle(a, Req(MasterExport::Open))), kMasterOk);
    EXPECT_EQ(Status(service.Handle(b, Req(MasterExport::Open))), kMasterOk);
    Answer refused = service.Handle(c, Req(MasterExport::Open));
    EXPECT_EQ(Status(refused), kMasterMaxOpenings);
    EXPECT_TRUE(refused.close);
    service.Disconnected(c);
    EXPECT_EQ(service.openings(), 2u);
    service.Disconnected(a);
    ConnectionState d;
    EXPECT_EQ(Status(service.Handle(d, Req(MasterExport::Open))), kMasterOk);
}

TEST(MasterService, UnconfiguredOrEmptyEniRefusesOpen) {
    ServiceSetup broken = MakeSetup();
    broken.configured = false;
    MasterService unconfigured(std::move(broken));
    ConnectionState c;
    Answer answer = unconfigured.Handle(c, Req(MasterExport::Open));
    EXPECT_EQ(Status(answer), kMasterEniNotLoaded);
    EXPECT_TRUE(answer.close);

    MasterService empty(MakeSetup({}, 16, {}));
    ConnectionState e;
    answer = empty.Handle(e, Req(MasterExport::Open));
    EXPECT_EQ(Status(answer), kMasterEniNoSlaves);
    EXPECT_TRUE(answer.close);
    EXPECT_EQ(empty.openings(), 0u);
}

TEST(MasterService, InjectedOpenStatusesZeroAnd39ConnectOthersRefuse) {
    for (std::uint16_t status : {0, 39, 9, 15, 54, 65}) {
        FaultRule rule;
        rule.op = MasterExport::Open;
        rule.status = status;
        MasterService service(MakeSetup({rule}));
        ConnectionState c;
        Answer answer = service.Handle(c, Req(MasterExport::Open));
        EXPECT_EQ(Status(answer), status);
        bool usable = status == 0 || status == 39;
        EXPECT_EQ(answer.close, !usable) << status;
        EXPECT_EQ(c.opened, usable) << status;
    }
}

FaultRule Rule(MasterExport op, std::uint16_t status) {
    FaultRule rule;
    rule.op = op;
    rule.status = status;
    return rule;
}

TEST(MasterService, FaultsMatchByPositionOffsetAndStateFirstRuleWinsTimesLimit) {
    FaultRule info = Rule(MasterExport::GetSlaveInfo, 0x1006);
    info.position = 1;
    FaultRule eeprom = Rule(MasterExport::ReadSlaveEeprom, 0x0301);
    eeprom.position = 0;
    eeprom.offset = 16;
    FaultRule state = Rule(MasterExport::RequestState, 258);
    state.state = 4;
    FaultRule countOnce = Rule(MasterExport::GetOnlineSlaveCount, 258);
    countOnce.times = 1;
    FaultRule countLater = Rule(MasterExport::GetOnlineSlaveCount, 259);
    countLater.times = 2;
    MasterService service(
        MakeSetup({info, eeprom, state, countOnce, countLater, Rule(MasterExport::GetState, 15),
                   Rule(MasterExport::GetState, 16)}));
    ConnectionState c;
    ASSERT_EQ(Status(service.Handle(c, Req(MasterExport::Open))), kMasterOk);

    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetSlaveInfo, 0))), kMasterOk);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetSlaveInfo, 1))), 0x1006);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 0x8000, 16, 4))), 0x0301);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 1001, 16, 4))), 0x0301);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::ReadSlaveEeprom, 0x8000, 20, 4))),
              kMasterOk);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::RequestState, 2))), kMasterOk);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::RequestState, 4))), 258);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetState))), 15);

    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetOnlineSlaveCount))), 258);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetOnlineSlaveCount))), 259);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetOnlineSlaveCount))), 259);
    EXPECT_EQ(Status(service.Handle(c, Req(MasterExport::GetOnlineSlaveCount))), kMasterOk);
}

}  // namespace
}  // namespace parvane::driver
