#include "driver/ethercat_network.h"

#include <array>

#include "driver/log.h"
#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "master/eeprom.h"

namespace parvane::driver {
namespace {

using master::Errc;
using master::Error;

constexpr std::uint32_t kSmallestEeprom = 128;  // bytes

std::vector<std::optional<eni::SlaveIdentity>> Identities(const master::Segment& segment) {
    std::vector<std::optional<eni::SlaveIdentity>> identities;
    identities.reserve(segment.slaves.size());
    for (const master::SegmentSlave& slave : segment.slaves)
        identities.push_back(slave.identity);
    return identities;
}

// The SII size word holds the size in Kibit minus one.
constexpr std::uint32_t EepromBytes(std::uint16_t sizeWord) {
    return (static_cast<std::uint32_t>(sizeWord) + 1) * 128;
}

}  // namespace

EthercatNetwork::EthercatNetwork(std::unique_ptr<Wire> wire, eni::NetworkConfig config,
                                 EthercatNetworkOptions options)
    : wire_(std::move(wire)), config_(std::move(config)), options_(options) {
    options_.exchange.destination = config_.master.destination;
    options_.exchange.source = config_.master.source;
    exchange_ = std::make_unique<master::Exchange>(wire_->link(), options_.exchange);
}

EthercatNetwork::~EthercatNetwork() {
    stateMachine_.reset();  // joins the master's threads before the wire goes
    LogCounters();
}

void EthercatNetwork::Start() {
    Log("EtherCAT master on %s", wire_->description());
    if (!BringUpSegment())
        Log("no slaves found at start; each open tries again");
}

void EthercatNetwork::Forget() {
    stateMachine_.reset();
    slaves_.clear();
    identities_.clear();
    differences_.clear();
    eepromBytes_.clear();
}

std::expected<void, Error> EthercatNetwork::BringUpSegment() {
    // The state machine watches the slaves by station address, which the
    // bring-up clears for a moment: it goes first and starts anew after.
    stateMachine_.reset();
    auto segment = master::BringUp(*exchange_, config_, options_.bringUp);
    if (!segment) {
        Forget();
        LogCounters();
        return std::unexpected(segment.error());
    }
    slaves_ = segment->found();
    identities_ = Identities(*segment);
    eepromBytes_.assign(slaves_.size(), 0);
    if (CompareWithEni(*segment, !options_.bringUp.logSlaves)) {
        stateMachine_ = std::make_unique<master::StateMachine>(*exchange_, config_, slaves_,
                                                               options_.stateMachine);
    }
    return {};
}

bool EthercatNetwork::CompareWithEni(const master::Segment& segment, bool quiet) {
    const std::vector<master::SlaveOnWire> found = segment.onWire();
    differences_ = master::CompareWithEni(config_, found);
    if (differences_.empty()) {
        if (!quiet)
            Log("boot-up check: the slaves found are the ENI's");
        return true;
    }
    Log("boot-up check: the network differs from its ENI in %zu point%s; it stays in INIT and "
        "every state request is refused",
        differences_.size(), differences_.size() == 1 ? "" : "s");
    for (const master::Difference& difference : differences_)
        Log("boot-up check: %s", master::DifferenceText(difference).c_str());
    return false;
}

void EthercatNetwork::LogCounters() const {
    const master::ExchangeCounters c = exchange_->counters();
    Log("frames: %llu sent, %llu received, %llu lost, %llu dropped; %llu datagrams sent",
        static_cast<unsigned long long>(c.framesSent),
        static_cast<unsigned long long>(c.framesReceived),
        static_cast<unsigned long long>(c.framesLost),
        static_cast<unsigned long long>(c.framesDropped),
        static_cast<unsigned long long>(c.datagrams));
}

std::expected<void, Error> EthercatNetwork::Open() {
    const bool resting =
        !stateMachine_ || (!stateMachine_->busy() && stateMachine_->requested() == AlState::kInit &&
                           stateMachine_->reached() == AlState::kInit);
    std::array<std::uint8_t, 2> type{};
    auto counted =
        exchange_->Transact(ecat::Command::kBrd, ecat::MakeAddress(0, ecat::reg::kType), type);
    if (!counted) {
        Log("open: %s", master::ErrorText(counted.error()));
        if (resting)
            Forget();
        return std::unexpected(counted.error());
    }
    if (!resting) {
        // The network is in use above INIT: its addresses are left alone.
        if (*counted != slaves_.size()) {
            Log("open: %u slaves answer now, %zu were brought up; the network is in %s, so the "
                "segment is brought up again once it is back in INIT",
                *counted, slaves_.size(), ecat::AlStateName(stateMachine_->reached()));
        }
        return {};
    }
    if (stateMachine_ && *counted == slaves_.size()) {
        // The same number of slaves: the same addresses go to the same
        // positions again (a slave exchanged meanwhile gets its own), the
        // identities are read again, and the state machine keeps watching.
        master::BringUpOptions again = options_.bringUp;
        again.clearAddresses = false;
        again.logSlaves = false;
        auto segment = master::BringUp(*exchange_, config_, again);
        if (segment && segment->slaves.size() == slaves_.size()) {
            eepromBytes_.assign(slaves_.size(), 0);
            const auto identities = Identities(*segment);
            if (identities == identities_) {
                Log("open: the same %zu slaves as before", slaves_.size());
            } else {
                Log("open: slaves exchanged since the last bring-up:");
                master::LogSegment(*segment, config_, options_.bringUp);
                identities_ = identities;
            }
            // The network rests in INIT: one that differs now stays there.
            if (!CompareWithEni(*segment, true))
                stateMachine_.reset();
            return {};
        }
    }
    // A slave plugged in or out since the last bring-up is found here.
    return BringUpSegment();
}

std::uint16_t EthercatNetwork::OnlineCount() const {
    return static_cast<std::uint16_t>(slaves_.size());
}

std::optional<std::uint16_t> EthercatNetwork::PositionOfStation(std::uint16_t station) const {
    for (const master::FoundSlave& slave : slaves_) {
        if (slave.stationAddress == station)
            return slave.position;
    }
    return std::nullopt;
}

std::expected<std::uint32_t, Error> EthercatNetwork::ReadEeprom(std::uint16_t position,
                                                                std::uint16_t offset,
                                                                std::uint16_t count) const {
    if (count < 1 || count > 4)
        return std::unexpected(Error{Errc::kInvalidArgument});
    if (position >= slaves_.size())
        return std::unexpected(Error{Errc::kNoSlave});
    const std::uint16_t station = slaves_[position].stationAddress;
    auto failed = [&](const Error& error, std::uint32_t word) {
        Log("EEPROM read of slave %u (station %u) at word 0x%04X failed: %s", position, station,
            word, master::ErrorText(error));
        return std::unexpected(error);
    };

    // Every EEPROM holds at least 1 Kibit; only reads past that need its size.
    const std::uint32_t end = static_cast<std::uint32_t>(offset) + count;
    if (end > kSmallestEeprom && eepromBytes_[position] == 0) {
        auto size = master::ReadEepromWords(*exchange_, station, ecat::sii::kWordSize,
                                            options_.bringUp.eeprom);
        if (!size)
            return failed(size.error(), ecat::sii::kWordSize);
        eepromBytes_[position] = EepromBytes(ecat::Get16(size->bytes.data()));
    }
    if (end > kSmallestEeprom && end > eepromBytes_[position])
        return std::unexpected(Error{Errc::kOutsideEeprom});

    std::array<std::uint8_t, 4> bytes{};
    std::size_t have = 0;
    std::uint32_t word = offset / 2u;
    std::size_t skip = offset % 2u;
    while (have < count) {
        auto words = master::ReadEepromWords(*exchange_, station, word, options_.bringUp.eeprom);
        if (!words)
            return failed(words.error(), word);
        for (std::size_t i = skip; i < words->size && have < count; ++i)
            bytes[have++] = words->bytes[i];
        skip = 0;
        word += words->size / 2u;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    return value;
}

void EthercatNetwork::RequestState(AlState state) {
    if (stateMachine_) {
        stateMachine_->Request(state);
    } else {
        Log("state %s requested, but no slaves were found", ecat::AlStateName(state));
    }
}

AlState EthercatNetwork::RequestedState() const {
    return stateMachine_ ? stateMachine_->requested() : AlState::kInit;
}

AlState EthercatNetwork::CurrentState() {
    return stateMachine_ ? stateMachine_->reached() : AlState::kInit;
}

std::expected<void, Error> UnavailableNetwork::Open() {
    Log("open: %s", reason_.c_str());
    return std::unexpected(Error{Errc::kLinkDown});
}

}  // namespace parvane::driver
