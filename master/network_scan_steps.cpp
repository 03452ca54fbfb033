#include "master/network_scan_steps.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "ecat/al_state.h"
#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "ecat/sii.h"
#include "master/coe_client.h"
#include "master/eeprom.h"
#include "master/log.h"
#include "master/topology.h"

namespace parvane::master {
namespace {

namespace sii = ecat::sii;
namespace reg = ecat::reg;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kToInitBudget{5000};
constexpr milliseconds kToPreOpBudget{3000};
constexpr milliseconds kStatusPoll{1};
constexpr milliseconds kSdoTimeout{500};
// Mailbox sync managers as every master sets them: SM0 written by the
// master, SM1 read by it, both in mailbox mode with their interrupts.
constexpr std::uint8_t kSm0Control = 0x26;
constexpr std::uint8_t kSm1Control = 0x22;

Error Wire(const Error& error) {
    return Error{error == Errc::kLinkDown ? Errc::kLinkDown : Errc::kNoReply};
}

// `size` bytes at `ado` of every station, one datagram each, in few frames;
// `answered[i]` tells whether stations[i] answered.
std::expected<void, Error> ReadEach(Exchange& exchange, std::span<const std::uint16_t> stations,
                                    std::uint16_t ado, std::size_t size,
                                    std::vector<std::uint8_t>& bytes, std::vector<bool>& answered) {
    bytes.assign(stations.size() * size, 0);
    std::vector<DatagramRequest> requests;
    requests.reserve(stations.size());
    for (std::size_t i = 0; i < stations.size(); ++i) {
        requests.push_back({ecat::Command::kFprd, ecat::MakeAddress(stations[i], ado),
                            std::span<std::uint8_t>(bytes).subspan(i * size, size)});
    }
    auto run = exchange.Run(requests);
    answered.assign(stations.size(), false);
    for (std::size_t i = 0; i < stations.size(); ++i)
        answered[i] = requests[i].answered && requests[i].wkc == 1;
    if (!run)
        return std::unexpected(Wire(run.error()));
    return {};
}

// `data` written at `ado` of every station; false where a slave did not take it.
std::vector<bool> WriteEach(Exchange& exchange, std::span<const std::uint16_t> stations,
                            std::uint16_t ado, std::span<std::uint8_t> data) {
    std::vector<std::vector<std::uint8_t>> copies(
        stations.size(), std::vector<std::uint8_t>(data.begin(), data.end()));
    std::vector<DatagramRequest> requests;
    for (std::size_t i = 0; i < stations.size(); ++i)
        requests.push_back({ecat::Command::kFpwr, ecat::MakeAddress(stations[i], ado), copies[i]});
    (void)exchange.Run(requests);
    std::vector<bool> took(stations.size());
    for (std::size_t i = 0; i < stations.size(); ++i)
        took[i] = requests[i].answered && requests[i].wkc == 1;
    return took;
}

// The words of the SII header the scan needs, of every slave.
struct Header {
    std::uint32_t serial = 0;
    std::uint16_t outStart = 0, outSize = 0, inStart = 0, inSize = 0;
    std::uint16_t protocols = 0;
    std::uint16_t sizeWord = 0xFFFF;
};

std::vector<Header> ReadHeaders(Exchange& exchange, std::span<const std::uint16_t> stations) {
    std::vector<Header> headers(stations.size());
    std::vector<std::expected<EepromWords, Error>> results;
    for (const std::uint16_t word : {sii::kWordSerialNo, sii::kWordRxMailbox, sii::kWordTxMailbox,
                                     sii::kWordMailboxProtocols, sii::kWordSize}) {
        ReadEepromWordsOfAll(exchange, stations, word, results);
        for (std::size_t i = 0; i < stations.size(); ++i) {
            if (!results[i])
                continue;
            const std::uint8_t* b = results[i]->bytes.data();
            Header& h = headers[i];
            switch (word) {
                case sii::kWordSerialNo:
                    h.serial = ecat::Get32(b);
                    break;
                case sii::kWordRxMailbox:
                    h.outStart = ecat::Get16(b), h.outSize = ecat::Get16(b + 2);
                    break;
                case sii::kWordTxMailbox:
                    h.inStart = ecat::Get16(b), h.inSize = ecat::Get16(b + 2);
                    break;
                case sii::kWordMailboxProtocols:
                    h.protocols = ecat::Get16(b);
                    break;
                default:
                    h.sizeWord = ecat::Get16(b);
                    break;
            }
        }
    }
    return headers;
}

// The ESC's FMMU count and features, its ports' links and, for a DC unit,
// the receive times of one latch frame, into the slaves and their tree.
std::expected<void, Error> ReadRegistersAndTree(Exchange& exchange, ScannedNetwork& network,
                                                std::span<const std::uint16_t> stations) {
    constexpr std::size_t kInfoSize = 10;  // 0x0000 type ... 0x0008 features
    std::vector<std::uint8_t> bytes;
    std::vector<bool> answered;
    if (auto read = ReadEach(exchange, stations, reg::kType, kInfoSize, bytes, answered); !read)
        return read;
    bool anyDc = false;
    for (std::size_t i = 0; i < stations.size(); ++i) {
        ScannedSlave& slave = network.slaves[i];
        const std::uint8_t* b = &bytes[i * kInfoSize];
        slave.fmmuCount = b[reg::kFmmuCount];
        const std::uint16_t features = ecat::Get16(b + reg::kFeatures);
        slave.dcCapable = answered[i] && (features & ecat::dc::kFeatureDc) != 0;
        slave.dc64 = slave.dcCapable && (features & ecat::dc::kFeatureDc64) != 0;
        anyDc = anyDc || slave.dcCapable;
    }
    std::vector<std::uint16_t> dl(stations.size());
    if (auto read = ReadEach(exchange, stations, reg::kDlStatus, 2, bytes, answered); !read)
        return read;
    for (std::size_t i = 0; i < stations.size(); ++i)
        dl[i] = ecat::Get16(&bytes[2 * i]);
    std::vector<PortTimes> times;
    if (anyDc) {
        // A broadcast write to 0x0900 makes every DC unit latch the time the
        // frame passes each of its ports.
        std::array<std::uint8_t, 4> latch{};
        if (auto sent = exchange.Transact(ecat::Command::kBwr,
                                          ecat::MakeAddress(0, reg::kDcReceiveTime), latch);
            !sent)
            return std::unexpected(Wire(sent.error()));
        if (auto read = ReadEach(exchange, stations, reg::kDcReceiveTime, 16, bytes, answered);
            !read)
            return read;
        times.resize(stations.size());
        bool anyTime = false;
        for (std::size_t i = 0; i < stations.size(); ++i) {
            for (unsigned p = 0; p < kPortCount && network.slaves[i].dcCapable; ++p) {
                times[i][p] = ecat::Get32(&bytes[16 * i + 4 * p]);
                anyTime = anyTime || times[i][p] != 0;
            }
        }
        if (!anyTime)
            times.clear();
    }
    const std::vector<TopologyNode> tree = FindTopology(dl, times);
    for (std::size_t i = 0; i < tree.size(); ++i) {
        ScannedSlave& slave = network.slaves[i];
        slave.openPorts = tree[i].openPorts;
        if (tree[i].parent) {
            slave.parent = static_cast<std::uint16_t>(*tree[i].parent);
            slave.parentPort = static_cast<std::uint8_t>(tree[i].parentPort);
        }
    }
    return {};
}

// Polls the AL status of `stations` until each shows `to` or an error, or
// the budget passes; which reached it.
std::vector<bool> WaitForState(Exchange& exchange, std::span<const std::uint16_t> stations,
                               ecat::AlState to, milliseconds budget) {
    const auto deadline = Clock::now() + budget;
    std::vector<bool> reached(stations.size(), false), settled(stations.size(), false);
    std::vector<std::uint8_t> bytes;
    std::vector<bool> answered;
    std::vector<std::uint16_t> pending;
    std::vector<std::size_t> which;
    for (;;) {
        pending.clear();
        which.clear();
        for (std::size_t i = 0; i < stations.size(); ++i)
            if (!settled[i])
                pending.push_back(stations[i]), which.push_back(i);
        if (pending.empty() || Clock::now() >= deadline)
            return reached;
        (void)ReadEach(exchange, pending, reg::kAlStatus, 2, bytes, answered);
        for (std::size_t k = 0; k < pending.size(); ++k) {
            const auto status = ecat::AlStatus::Decode(ecat::Get16(&bytes[2 * k]));
            if (!answered[k])
                continue;
            if (status.Is(to))
                reached[which[k]] = settled[which[k]] = true;
            else if (status.error)
                settled[which[k]] = true;
        }
        std::this_thread::sleep_for(kStatusPoll);
    }
}

}  // namespace

std::expected<void, Error> ToInit(Exchange& exchange) {
    // INIT with the acknowledgement of an error, then INIT alone: an ESC
    // in device emulation copies AL control into AL status, error bit too.
    for (const bool acknowledge : {true, false}) {
        std::array<std::uint8_t, 2> control{};
        ecat::Put16(control.data(),
                    ecat::AlControl::Request(ecat::AlState::kInit, acknowledge).Encode());
        auto sent =
            exchange.Transact(ecat::Command::kBwr, ecat::MakeAddress(0, reg::kAlControl), control);
        if (!sent)
            return std::unexpected(Wire(sent.error()));
        if (*sent == 0)
            return {};  // no slave on the wire
    }
    const auto deadline = Clock::now() + kToInitBudget;
    for (;;) {
        // A broadcast read ORs the states: INIT alone reads as INIT.
        std::array<std::uint8_t, 2> status{};
        auto read =
            exchange.Transact(ecat::Command::kBrd, ecat::MakeAddress(0, reg::kAlStatus), status);
        if (!read)
            return std::unexpected(Wire(read.error()));
        if ((ecat::Get16(status.data()) & 0x1F) == ecat::ToWire(ecat::AlState::kInit))
            break;
        if (Clock::now() >= deadline)
            return std::unexpected(Error{Errc::kTimeout});
        std::this_thread::sleep_for(kStatusPoll);
    }
    // The mailbox sync managers the scan set go back to unused.
    std::array<std::uint8_t, 2 * reg::kSmSize> cleared{};
    (void)exchange.Transact(ecat::Command::kBwr, ecat::MakeAddress(0, reg::Sm(0)), cleared);
    return {};
}

namespace {

// Sets up the mailbox sync managers of `slaves` and takes them to PREOP;
// which reached it.
std::vector<bool> ToPreOp(Exchange& exchange, const ScannedNetwork& network,
                          std::span<const std::size_t> slaves) {
    std::vector<std::uint16_t> stations;
    std::vector<std::array<std::uint8_t, 2 * reg::kSmSize>> sms(slaves.size());
    std::vector<DatagramRequest> requests;
    for (std::size_t k = 0; k < slaves.size(); ++k) {
        const ScannedSlave& s = network.slaves[slaves[k]];
        stations.push_back(s.stationAddress);
        std::uint8_t* b = sms[k].data();
        ecat::Put16(b, s.mailboxOutStart);
        ecat::Put16(b + 2, s.mailboxOutSize);
        b[4] = kSm0Control;
        b[6] = 0x01;
        ecat::Put16(b + 8, s.mailboxInStart);
        ecat::Put16(b + 10, s.mailboxInSize);
        b[12] = kSm1Control;
        b[14] = 0x01;
        requests.push_back(
            {ecat::Command::kFpwr, ecat::MakeAddress(s.stationAddress, reg::Sm(0)), sms[k]});
    }
    (void)exchange.Run(requests);
    std::array<std::uint8_t, 2> control{};
    ecat::Put16(control.data(), ecat::AlControl::Request(ecat::AlState::kPreOp, false).Encode());
    // A slave's own processor may read its EEPROM on the way to PREOP: the
    // EEPROM is offered to it for the change and taken back after.
    std::array<std::uint8_t, 1> toPdi{1}, toMaster{0};
    WriteEach(exchange, stations, reg::kSiiConfig, toPdi);
    WriteEach(exchange, stations, reg::kAlControl, control);
    std::vector<bool> reached =
        WaitForState(exchange, stations, ecat::AlState::kPreOp, kToPreOpBudget);
    (void)exchange.Transact(ecat::Command::kBwr, ecat::MakeAddress(0, reg::kSiiConfig), toMaster);
    return reached;
}

const sii::PdoRecord* FindRecord(const std::vector<sii::PdoRecord>& records, std::uint16_t index) {
    for (const sii::PdoRecord& r : records)
        if (r.index == index)
            return &r;
    return nullptr;
}

// The name and data type the SII gives the entry, where its PDO lists it.
void NameEntry(ScannedPdoEntry& entry, const sii::PdoRecord* record,
               const std::vector<std::string>& strings) {
    if (record == nullptr)
        return;
    for (const sii::PdoEntryRecord& e : record->entries) {
        if (e.index == entry.index && e.subIndex == entry.subIndex) {
            entry.name = sii::StringAt(strings, e.nameIndex);
            entry.dataType = e.dataType;
            return;
        }
    }
}

// An upload that failed: which object, and why.
struct UploadFailure {
    Error error;
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
};

// One unsigned value of up to 4 bytes by SDO upload.
std::expected<std::uint32_t, UploadFailure> UploadValue(CoeClient& coe, std::uint16_t index,
                                                        std::uint8_t subIndex) {
    std::array<std::uint8_t, 4> bytes{};
    auto read = coe.Upload(index, subIndex, false, bytes, kSdoTimeout, {});
    if (!read)
        return std::unexpected(UploadFailure{read.error(), index, subIndex});
    return ecat::Get32(bytes.data());
}

// The PDOs assigned now through `assignment` (0x1C12, 0x1C13) and their
// mapping; names and data types from the SII where it describes the PDO.
std::expected<std::vector<ScannedPdo>, UploadFailure> UploadAssignment(
    CoeClient& coe, std::uint16_t assignment, std::uint8_t sm,
    const std::vector<sii::PdoRecord>& records, const std::vector<std::string>& strings) {
    auto count = UploadValue(coe, assignment, 0);
    if (!count)
        return std::unexpected(count.error());
    std::vector<ScannedPdo> pdos;
    for (std::uint32_t i = 1; i <= (*count & 0xFF); ++i) {
        auto index = UploadValue(coe, assignment, static_cast<std::uint8_t>(i));
        if (!index)
            return std::unexpected(index.error());
        ScannedPdo& pdo = pdos.emplace_back();
        pdo.index = static_cast<std::uint16_t>(*index);
        pdo.sm = sm;
        const sii::PdoRecord* record = FindRecord(records, pdo.index);
        if (record != nullptr) {
            pdo.name = sii::StringAt(strings, record->nameIndex);
            pdo.fixed = (record->flags & sii::kPdoFixed) != 0;
        }
        auto entries = UploadValue(coe, pdo.index, 0);
        if (!entries)
            return std::unexpected(entries.error());
        for (std::uint32_t j = 1; j <= (*entries & 0xFF); ++j) {
            auto mapped = UploadValue(coe, pdo.index, static_cast<std::uint8_t>(j));
            if (!mapped)
                return std::unexpected(mapped.error());
            ScannedPdoEntry& entry = pdo.entries.emplace_back();
            entry.index = static_cast<std::uint16_t>(*mapped >> 16);
            entry.subIndex = static_cast<std::uint8_t>(*mapped >> 8);
            entry.bitLength = static_cast<std::uint8_t>(*mapped);
            NameEntry(entry, record, strings);
        }
    }
    return pdos;
}

struct SiiPdos {
    std::vector<sii::PdoRecord> tx, rx;
    std::vector<std::string> strings;
};

// Marks the PDOs read by CoE whose mapping is not the SII's; whether the
// assignment read differs from the SII's (which it can only where the SII
// assigns PDOs at all).
bool Changed(std::vector<ScannedPdo>& read, const std::vector<ScannedPdo>& siiAssigned,
             const std::vector<sii::PdoRecord>& records) {
    const auto sameEntry = [](const ScannedPdoEntry& a, const sii::PdoEntryRecord& b) {
        return a.index == b.index && a.subIndex == b.subIndex && a.bitLength == b.bitLength;
    };
    for (ScannedPdo& pdo : read) {
        const sii::PdoRecord* record = FindRecord(records, pdo.index);
        pdo.mappingChanged = record != nullptr &&
                             !std::equal(pdo.entries.begin(), pdo.entries.end(),
                                         record->entries.begin(), record->entries.end(), sameEntry);
    }
    const auto sameIndex = [](const ScannedPdo& a, const ScannedPdo& b) {
        return a.index == b.index;
    };
    return !siiAssigned.empty() &&
           !std::equal(read.begin(), read.end(), siiAssigned.begin(), siiAssigned.end(), sameIndex);
}

// The first sync manager the SII gives that type, else `fallback`.
std::uint8_t SmOfType(const ScannedSlave& slave, std::uint8_t type, std::uint8_t fallback) {
    for (std::size_t n = 0; n < slave.sms.size(); ++n)
        if (slave.sms[n].type == type)
            return static_cast<std::uint8_t>(n);
    return fallback;
}

void ReadCoe(Exchange& exchange, ScannedSlave& slave, const SiiPdos& sii) {
    CoeClient coe(exchange,
                  MailboxWindows{slave.stationAddress, slave.mailboxOutStart, slave.mailboxOutSize,
                                 slave.mailboxInStart, slave.mailboxInSize});
    auto rx =
        UploadAssignment(coe, 0x1C12, SmOfType(slave, sii::kSmTypeOutputs, 2), sii.rx, sii.strings);
    auto tx = rx ? UploadAssignment(coe, 0x1C13, SmOfType(slave, sii::kSmTypeInputs, 3), sii.tx,
                                    sii.strings)
                 : rx;
    if (!rx || !tx) {
        const UploadFailure& f = !rx ? rx.error() : tx.error();
        std::array<char, 160> note{};
        std::snprintf(note.data(), note.size(),
                      "0x%04X:%02X not read by CoE (%s 0x%08X): the SII's default PDOs", f.index,
                      f.subIndex, ErrorText(f.error), f.error.detail);
        slave.pdoNote = note.data();
        return;
    }
    slave.assignmentChanged =
        Changed(*rx, slave.rxPdos, sii.rx) || Changed(*tx, slave.txPdos, sii.tx);
    slave.rxPdos = std::move(*rx);
    slave.txPdos = std::move(*tx);
    // A slave synchronised to SYNC0 says so in its sync manager parameter.
    if (auto mode = UploadValue(coe, 0x1C32, 1); mode && (*mode == 2 || *mode == 3)) {
        slave.dcNeeded = true;
        if (slave.assignActivate == 0)
            slave.assignActivate = 0x0300;
    }
}

// A CoE slave whose PDOs may be other than its SII's: it says it takes a
// PDO assignment or configuration, or its SII describes no PDOs at all.
bool ReadsByCoe(const ScannedSlave& s, const SiiPdos& sii) {
    const bool coe = (s.mailboxProtocols & sii::kProtocolCoe) != 0 && s.mailboxOutSize > 0 &&
                     s.mailboxInSize > 0;
    const bool configurable = (s.coeDetails & (sii::kCoePdoAssign | sii::kCoePdoConfig)) != 0;
    return coe && (configurable || (sii.rx.empty() && sii.tx.empty()));
}

}  // namespace

std::expected<void, Error> ReadSlaves(Exchange& exchange, ScannedNetwork& network,
                                      const ScanOptions& options) {
    const std::size_t count = network.slaves.size();
    std::vector<std::uint16_t> stations;
    for (const ScannedSlave& s : network.slaves)
        stations.push_back(s.stationAddress);
    const std::vector<Header> headers = ReadHeaders(exchange, stations);
    std::vector<std::uint16_t> sizeWords;
    for (std::size_t i = 0; i < count; ++i) {
        ScannedSlave& s = network.slaves[i];
        const Header& h = headers[i];
        s.serialNo = h.serial;
        s.mailboxOutStart = h.outStart, s.mailboxOutSize = h.outSize;
        s.mailboxInStart = h.inStart, s.mailboxInSize = h.inSize;
        s.mailboxProtocols = h.protocols;
        sizeWords.push_back(h.sizeWord);
    }
    std::vector<std::vector<std::uint8_t>> images;
    std::size_t siiDone = 0;
    ReadCategoryImages(
        exchange, stations, sizeWords, images,
        [&](std::size_t) {
            if (options.progress)
                options.progress({ScanProgress::Stage::kSii, ++siiDone, count});
        },
        options.stop);
    if (StopAsked(options))
        return std::unexpected(Error{Errc::kCancelled});
    std::vector<SiiPdos> sii(count);
    for (std::size_t i = 0; i < count; ++i) {
        ScannedSlave& s = network.slaves[i];
        DecodeCategories(s, images[i], sii[i].tx, sii[i].rx, sii[i].strings);
        s.rxPdos = SiiAssigned(sii[i].rx, sii[i].strings);
        s.txPdos = SiiAssigned(sii[i].tx, sii[i].strings);
    }
    if (auto read = ReadRegistersAndTree(exchange, network, stations); !read)
        return read;

    std::vector<std::size_t> coeSlaves;
    for (std::size_t i = 0; i < count && options.readCoe; ++i)
        if (ReadsByCoe(network.slaves[i], sii[i]))
            coeSlaves.push_back(i);
    if (coeSlaves.empty())
        return {};
    if (StopAsked(options))
        return std::unexpected(Error{Errc::kCancelled});
    const std::vector<bool> inPreOp = ToPreOp(exchange, network, coeSlaves);
    for (std::size_t k = 0; k < coeSlaves.size(); ++k) {
        if (StopAsked(options))
            return std::unexpected(Error{Errc::kCancelled});
        ScannedSlave& s = network.slaves[coeSlaves[k]];
        if (inPreOp[k])
            ReadCoe(exchange, s, sii[coeSlaves[k]]);
        else
            s.pdoNote = "the slave did not reach PREOP: the SII's default PDOs";
        if (options.progress)
            options.progress({ScanProgress::Stage::kCoe, k + 1, coeSlaves.size()});
    }
    return {};
}

}  // namespace parvane::master
