#include "scan/eni_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <pugixml.hpp>
#include <sstream>

#include "ecat/al_state.h"
#include "ecat/byte_order.h"
#include "ecat/frame.h"
#include "ecat/registers.h"
#include "ecat/sii.h"

namespace parvane::scan {
namespace {

namespace sii = ecat::sii;
namespace reg = ecat::reg;
using master::ScannedNetwork;
using master::ScannedPdo;
using master::ScannedSlave;

// In a frame-shaped image the first datagram's header starts at byte 16
// (Ethernet and EtherCAT headers) and its data 10 bytes later.
constexpr std::uint32_t kFirstDatagram = 16;
constexpr std::uint32_t kDatagramHeader = 10;
constexpr std::uint32_t kFirstDataBit = (kFirstDatagram + kDatagramHeader) * 8;

std::uint32_t Bytes(std::uint32_t bits) {
    return (bits + 7) / 8;
}

bool IsOutputs(std::uint8_t type) {
    return type == sii::kSmTypeOutputs;
}

// The sync manager a PDO's data goes through: the one it names when that
// one carries its direction, else the slave's first that does.
std::optional<std::uint8_t> SmOf(const ScannedSlave& slave, const ScannedPdo& pdo, bool outputs) {
    const std::uint8_t type = outputs ? sii::kSmTypeOutputs : sii::kSmTypeInputs;
    if (!pdo.sm)
        return std::nullopt;
    if (*pdo.sm < slave.sms.size() && slave.sms[*pdo.sm].type == type)
        return pdo.sm;
    for (std::size_t n = 0; n < slave.sms.size(); ++n)
        if (slave.sms[n].type == type)
            return static_cast<std::uint8_t>(n);
    return std::nullopt;
}

std::uint32_t SmBits(const ScannedSlave& slave, std::uint8_t number, bool outputs) {
    std::uint32_t bits = 0;
    for (const ScannedPdo& pdo : outputs ? slave.rxPdos : slave.txPdos)
        if (SmOf(slave, pdo, outputs) == number)
            bits += pdo.bitLength();
    return bits;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(2 * bytes.size());
    std::array<char, 3> two{};
    for (const std::uint8_t b : bytes) {
        std::snprintf(two.data(), two.size(), "%02x", b);
        text += two.data();
    }
    return text;
}

std::string IndexText(std::uint32_t index) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "#x%04x", index);
    return text.data();
}

void Add(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).text().set(text.c_str());
}

void Add(pugi::xml_node parent, const char* name, std::uint64_t value) {
    parent.append_child(name).text().set(static_cast<unsigned long long>(value));
}

void AddCData(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).append_child(pugi::node_cdata).set_value(text.c_str());
}

std::vector<std::uint8_t> Le(std::uint64_t value, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

// What every register init command has, as exports write it.
struct CmdHead {
    std::initializer_list<const char*> transitions;
    const char* comment;
    ecat::Command command;
    std::uint16_t adp;
    std::uint16_t ado;
};

// Appends the command up to its retries; a Validate or Timeout follows.
// Without data, `dataLength` zero bytes.
pugi::xml_node AddCmd(pugi::xml_node initCmds, const CmdHead& c, std::span<const std::uint8_t> data,
                      std::optional<std::uint16_t> cnt = {}, bool beforeSlave = false,
                      std::uint32_t dataLength = 0) {
    pugi::xml_node n = initCmds.append_child("InitCmd");
    for (const char* t : c.transitions)
        Add(n, "Transition", std::string(t));
    if (beforeSlave)
        Add(n, "BeforeSlave", std::string("true"));
    AddCData(n, "Comment", c.comment);
    Add(n, "Requires", std::string("cycle"));
    Add(n, "Cmd", static_cast<std::uint64_t>(c.command));
    Add(n, "Adp", c.adp);
    Add(n, "Ado", c.ado);
    if (data.empty())
        Add(n, "DataLength", dataLength);
    else
        Add(n, "Data", Hex(data));
    if (cnt)
        Add(n, "Cnt", *cnt);
    Add(n, "Retries", 3);
    return n;
}

void AddValidate(pugi::xml_node cmd, std::span<const std::uint8_t> data,
                 std::span<const std::uint8_t> mask, std::uint32_t timeout) {
    pugi::xml_node v = cmd.append_child("Validate");
    Add(v, "Data", Hex(data));
    Add(v, "DataMask", Hex(mask));
    Add(v, "Timeout", timeout);
}

void AddMasterInitCmds(pugi::xml_node initCmds, bool dc) {
    const auto bwr = [&](std::initializer_list<const char*> t, const char* comment,
                         std::uint16_t ado, std::vector<std::uint8_t> data, std::uint32_t length) {
        AddCmd(initCmds, {t, comment, ecat::Command::kBwr, 0, ado}, data, {}, true, length);
    };
    const std::array<std::uint8_t, 2> two{};
    AddCmd(initCmds, {{"IP"}, "read slave count", ecat::Command::kBrd, 0, reg::kAlStatus}, two, {},
           true);
    bwr({"IP"}, "clear configured addresses", reg::kStationAddress, {0, 0}, 0);
    bwr({"IP", "PI", "BI", "SI", "OI"}, "clear fmmu", reg::kFmmuBase, {}, 256);
    bwr({"IP"}, "clear sm", reg::kSmBase, {}, 256);
    if (!dc)
        return;
    bwr({"IP"}, "clear dc system time", reg::kDcSystemTime, {}, 32);
    bwr({"IP"}, "clear dc cycle cfg", reg::kDcActivation, {0}, 0);
    bwr({"IP"}, "reset dc speed", reg::kDcSpeedCounterStart, {0x00, 0x10}, 0);
    bwr({"IP"}, "configure dc filter", reg::kDcTimeFilterDepth, {0x00, 0x0c}, 0);
}

// Request a state and check it, for the transitions given.
void AddState(pugi::xml_node initCmds, std::uint16_t station,
              std::initializer_list<const char*> transitions, ecat::AlState state,
              std::uint32_t timeout, const char* set, const char* check) {
    const std::array<std::uint8_t, 2> value{static_cast<std::uint8_t>(ecat::ToWire(state)), 0};
    const std::array<std::uint8_t, 2> mask{0x1f, 0}, zero{};
    pugi::xml_node request = AddCmd(
        initCmds, {transitions, set, ecat::Command::kFpwr, station, reg::kAlControl}, value, 1);
    Add(request, "Timeout", timeout);
    pugi::xml_node read = AddCmd(
        initCmds, {transitions, check, ecat::Command::kFprd, station, reg::kAlStatus}, zero, 1);
    AddValidate(read, value, mask, timeout);
}

std::vector<std::uint8_t> SmBytes(std::uint16_t start, std::uint16_t length, std::uint8_t control,
                                  bool enable) {
    std::vector<std::uint8_t> b(reg::kSmSize, 0);
    ecat::Put16(b.data(), start);
    ecat::Put16(b.data() + 2, length);
    b[4] = control;
    b[6] = enable ? 1 : 0;
    return b;
}

std::vector<std::uint8_t> FmmuBytes(const SmPlacement& sm, std::uint16_t physical) {
    std::vector<std::uint8_t> b(reg::kFmmuSize, 0);
    ecat::Put32(b.data(), sm.logicalByte);
    ecat::Put16(b.data() + 4, static_cast<std::uint16_t>(Bytes(sm.bits)));
    b[7] = static_cast<std::uint8_t>((sm.bits + 7) % 8);  // stop bit
    ecat::Put16(b.data() + 8, physical);
    b[11] = sm.outputs ? 0x02 : 0x01;  // write : read
    b[12] = 0x01;
    return b;
}

}  // namespace

ImagePlacement PlaceProcessData(const ScannedNetwork& network, const EniWriteOptions& options) {
    ImagePlacement out;
    std::uint32_t cursor = 0;  // bytes into the logical datagram
    for (const ScannedSlave& slave : network.slaves) {
        SlavePlacement& p = out.slaves.emplace_back();
        p.bitStart = kFirstDataBit + 8 * cursor;
        std::array<std::uint32_t, 2> used{};  // bytes of outputs, inputs
        for (std::size_t n = 0; n < slave.sms.size(); ++n) {
            const std::uint8_t type = slave.sms[n].type;
            if (type != sii::kSmTypeOutputs && type != sii::kSmTypeInputs)
                continue;
            const bool outputs = IsOutputs(type);
            const std::uint32_t bits = SmBits(slave, static_cast<std::uint8_t>(n), outputs);
            if (bits == 0)
                continue;
            std::uint32_t& at = used[outputs ? 0 : 1];
            p.sms.push_back(
                {static_cast<std::uint8_t>(n), outputs, bits, options.logicalStart + cursor + at});
            at += Bytes(bits);
            (outputs ? p.outputBits : p.inputBits) += bits;
        }
        cursor += std::max(used[0], used[1]);
    }
    out.dataBytes = cursor;
    return out;
}

namespace {

// The process data's sync managers and FMMUs, for PREOP -> SAFEOP.
void AddProcessDataCmds(pugi::xml_node initCmds, const ScannedSlave& s, const SlavePlacement& p) {
    const std::uint16_t station = s.stationAddress;
    std::array<char, 64> comment{};
    for (const SmPlacement& sm : p.sms) {
        const master::ScannedSm& sii = s.sms[sm.number];
        std::snprintf(comment.data(), comment.size(), "set sm %u (%s)", sm.number,
                      sm.outputs ? "outputs" : "inputs");
        const auto bytes = SmBytes(sii.startAddress, static_cast<std::uint16_t>(Bytes(sm.bits)),
                                   sii.controlByte, true);
        AddCmd(initCmds,
               {{"PS"}, comment.data(), ecat::Command::kFpwr, station, reg::Sm(sm.number)}, bytes,
               1);
    }
    for (std::size_t f = 0; f < p.sms.size(); ++f) {
        const SmPlacement& sm = p.sms[f];
        std::snprintf(comment.data(), comment.size(), "set fmmu %zu (%s)", f,
                      sm.outputs ? "outputs" : "inputs");
        const auto ado = reg::Fmmu(static_cast<unsigned>(f));
        AddCmd(initCmds, {{"PS"}, comment.data(), ecat::Command::kFpwr, station, ado},
               FmmuBytes(sm, s.sms[sm.number].startAddress), 1);
    }
}

// SYNC0 every cycle from the activation the SII asks for.
void AddDcCmds(pugi::xml_node initCmds, const ScannedSlave& s, const EniWriteOptions& options) {
    const std::uint16_t station = s.stationAddress;
    const auto fpwr = ecat::Command::kFpwr;
    AddCmd(initCmds, {{"PS"}, "set DC cycle time", fpwr, station, reg::kDcSync0Cycle},
           Le(std::uint64_t{options.cycleUs} * 1000, 8), 1);
    AddCmd(initCmds, {{"PS"}, "set DC start time", fpwr, station, reg::kDcStartTime}, Le(0, 8), 1);
    AddCmd(initCmds, {{"PS"}, "set DC activation", fpwr, station, reg::kDcCyclicUnitControl},
           Le(s.assignActivate, 2), 1);
    AddCmd(initCmds,
           {{"IP", "SP", "OP", "SI", "OI"},
            "clear DC activation",
            fpwr,
            station,
            reg::kDcCyclicUnitControl},
           Le(0, 2));
}

// The register init commands of one slave, in the order exports list them.
void AddSlaveInitCmds(pugi::xml_node initCmds, const ScannedSlave& s, const SlavePlacement& p,
                      const EniWriteOptions& options) {
    const std::uint16_t station = s.stationAddress;
    const auto fpwr = ecat::Command::kFpwr;
    const auto autoInc = static_cast<std::uint16_t>(0x10000 - s.position);
    AddCmd(initCmds,
           {{"IP"}, "set physical address", ecat::Command::kApwr, autoInc, reg::kStationAddress},
           Le(station, 2), 1);
    if (s.mailboxOutSize > 0 && s.mailboxInSize > 0) {
        AddCmd(initCmds, {{"IP"}, "set sm 0 (mailbox out)", fpwr, station, reg::Sm(0)},
               SmBytes(s.mailboxOutStart, s.mailboxOutSize, 0x26, true), 1);
        AddCmd(initCmds, {{"IP"}, "set sm 1 (mailbox in)", fpwr, station, reg::Sm(1)},
               SmBytes(s.mailboxInStart, s.mailboxInSize, 0x22, true), 1);
    }
    const std::array<std::uint8_t, 1> pdi{1}, ecat{0};
    AddCmd(initCmds, {{"IP"}, "assign EEPROM to PDI", fpwr, station, reg::kSiiConfig}, pdi, 1);
    AddState(initCmds, station, {"IP"}, ecat::AlState::kPreOp, 3000, "set device state to PREOP",
             "check device state for PREOP");
    AddCmd(initCmds, {{"IP"}, "assign EEPROM back to ECAT", fpwr, station, reg::kSiiConfig}, ecat,
           1);
    AddProcessDataCmds(initCmds, s, p);
    if (s.dcNeeded)
        AddDcCmds(initCmds, s, options);
    AddState(initCmds, station, {"PS", "OS"}, ecat::AlState::kSafeOp, 10000,
             "set device state to SAFEOP", "check device state for SAFEOP");
    AddState(initCmds, station, {"SO"}, ecat::AlState::kOp, 10000, "set device state to OP",
             "check device state for OP");
    AddState(initCmds, station, {"SP", "OP"}, ecat::AlState::kPreOp, 5000,
             "set device state to PREOP", "check device state for PREOP");
    if (!p.sms.empty()) {
        const std::vector<std::uint8_t> zero(reg::kFmmuSize * p.sms.size(), 0);
        AddCmd(initCmds, {{"SP", "SI", "OP", "OI"}, "clear fmmus", fpwr, station, reg::kFmmuBase},
               zero);
    }
    AddState(initCmds, station, {"PI", "SI", "OI"}, ecat::AlState::kInit, 5000,
             "set device state to INIT", "check device state for INIT");
}

const char* DataTypeName(std::uint16_t type, std::uint8_t bits) {
    switch (type) {
        case 0x01:
            return "BOOL";
        case 0x02:
            return "SINT";
        case 0x03:
            return "INT";
        case 0x04:
            return "DINT";
        case 0x05:
            return "USINT";
        case 0x06:
            return "UINT";
        case 0x07:
            return "UDINT";
        case 0x08:
            return "REAL";
        case 0x11:
            return "LREAL";
        case 0x15:
            return "LINT";
        case 0x1B:
            return "ULINT";
        default:
            break;
    }
    switch (bits) {
        case 1:
            return "BOOL";
        case 8:
            return "USINT";
        case 16:
            return "UINT";
        case 32:
            return "UDINT";
        case 64:
            return "ULINT";
        default:
            return "BIT";
    }
}

std::string PdoName(const ScannedPdo& pdo) {
    return pdo.name.empty() ? IndexText(pdo.index).replace(0, 2, "0x") : pdo.name;
}

std::string EntryName(const master::ScannedPdoEntry& e) {
    if (!e.name.empty())
        return e.name;
    std::array<char, 24> text{};
    std::snprintf(text.data(), text.size(), "0x%04x:%02x", e.index, e.subIndex);
    return text.data();
}

void AddPdo(pugi::xml_node pd, const ScannedSlave& s, const ScannedPdo& pdo, bool outputs) {
    pugi::xml_node n = pd.append_child(outputs ? "RxPdo" : "TxPdo");
    if (pdo.fixed)
        n.append_attribute("Fixed").set_value("true");
    if (const auto sm = SmOf(s, pdo, outputs))
        n.append_attribute("Sm").set_value(static_cast<unsigned>(*sm));
    Add(n, "Index", IndexText(pdo.index));
    Add(n, "Name", PdoName(pdo));
    for (const master::ScannedPdoEntry& e : pdo.entries) {
        pugi::xml_node entry = n.append_child("Entry");
        Add(entry, "Index", IndexText(e.index));
        Add(entry, "SubIndex", e.subIndex);
        Add(entry, "BitLen", e.bitLength);
        if (e.index != 0) {
            Add(entry, "Name", EntryName(e));
            Add(entry, "DataType", std::string(DataTypeName(e.dataType, e.bitLength)));
        }
    }
}

// The name a slave has in the file: its position and the device's name, as
// exports number their boxes and terminals, so that no two slaves share one.
std::string SlaveName(const ScannedSlave& s) {
    std::array<char, 24> number{};
    std::snprintf(number.data(), number.size(), "Slave %u", s.position + 1u);
    const std::string& device = s.name.empty() ? s.order : s.name;
    return device.empty() ? std::string(number.data())
                          : std::string(number.data()) + " (" + device + ")";
}

void AddInfo(pugi::xml_node slave, const ScannedSlave& s) {
    pugi::xml_node info = slave.append_child("Info");
    AddCData(info, "Name", SlaveName(s));
    Add(info, "PhysAddr", s.stationAddress);
    Add(info, "AutoIncAddr", static_cast<std::uint16_t>(0x10000 - s.position));
    Add(info, "VendorId", s.identity.vendorId);
    Add(info, "ProductCode", s.identity.productCode);
    Add(info, "RevisionNo", s.identity.revisionNo);
    Add(info, "SerialNo", s.serialNo);
}

void AddProcessData(pugi::xml_node slave, const ScannedSlave& s, const SlavePlacement& p) {
    if (p.sms.empty())
        return;
    pugi::xml_node pd = slave.append_child("ProcessData");
    for (const bool outputs : {true, false}) {
        const std::uint32_t bits = outputs ? p.outputBits : p.inputBits;
        if (bits == 0)
            continue;
        pugi::xml_node range = pd.append_child(outputs ? "Send" : "Recv");
        Add(range, "BitStart", p.bitStart);
        Add(range, "BitLength", bits);
    }
    for (const SmPlacement& sm : p.sms) {
        const std::string tag = "Sm" + std::to_string(sm.number);
        pugi::xml_node n = pd.append_child(tag.c_str());
        Add(n, "Type", std::string(sm.outputs ? "Outputs" : "Inputs"));
        Add(n, "DefaultSize", Bytes(sm.bits));
        Add(n, "StartAddress", s.sms[sm.number].startAddress);
        Add(n, "ControlByte", s.sms[sm.number].controlByte);
        Add(n, "Enable", 1);
        for (const ScannedPdo& pdo : sm.outputs ? s.rxPdos : s.txPdos)
            if (SmOf(s, pdo, sm.outputs) == sm.number)
                Add(n, "Pdo", pdo.index);
    }
    for (const bool outputs : {false, true})
        for (const ScannedPdo& pdo : outputs ? s.rxPdos : s.txPdos)
            if (SmOf(s, pdo, outputs))
                AddPdo(pd, s, pdo, outputs);
}

void AddSdo(pugi::xml_node initCmds, const char* comment, std::uint16_t index,
            std::uint8_t subIndex, std::vector<std::uint8_t> data) {
    pugi::xml_node n = initCmds.append_child("InitCmd");
    Add(n, "Transition", std::string("PS"));
    AddCData(n, "Comment", comment);
    Add(n, "Timeout", 0);
    Add(n, "Ccs", 1);
    Add(n, "Index", index);
    Add(n, "SubIndex", subIndex);
    Add(n, "Data", Hex(data));
}

// A PDO's entries: cleared, each entry, the count.
void AddMapping(pugi::xml_node initCmds, const ScannedPdo& pdo) {
    std::array<char, 64> c{};
    std::snprintf(c.data(), c.size(), "clear pdo 0x%04X entries", pdo.index);
    AddSdo(initCmds, c.data(), pdo.index, 0, {0});
    std::uint8_t sub = 0;
    for (const master::ScannedPdoEntry& e : pdo.entries) {
        std::snprintf(c.data(), c.size(), "download pdo 0x%04X entry", pdo.index);
        const std::uint32_t mapped =
            (std::uint32_t{e.index} << 16) | (std::uint32_t{e.subIndex} << 8) | e.bitLength;
        AddSdo(initCmds, c.data(), pdo.index, ++sub, Le(mapped, 4));
    }
    std::snprintf(c.data(), c.size(), "download pdo 0x%04X entry count", pdo.index);
    AddSdo(initCmds, c.data(), pdo.index, 0, {sub});
}

// The downloads that give the slave the PDOs it has now where they are not
// the SII's, as exports write them: the assignment cleared, each changed
// PDO's entries, the assignment and its count. A slave at its SII's PDOs
// gets none (some refuse writes to PDO objects they take as fixed).
void AddPdoDownloads(pugi::xml_node initCmds, const ScannedSlave& s) {
    const auto changed = [](const ScannedPdo& p) { return p.mappingChanged; };
    const bool configure = (s.coeDetails & sii::kCoePdoConfig) != 0;
    const bool remap = configure && (std::any_of(s.rxPdos.begin(), s.rxPdos.end(), changed) ||
                                     std::any_of(s.txPdos.begin(), s.txPdos.end(), changed));
    const bool assign = (s.coeDetails & sii::kCoePdoAssign) != 0 && (s.assignmentChanged || remap);
    std::array<char, 64> c{};
    for (const bool outputs : {true, false}) {
        const std::uint16_t assignment = outputs ? 0x1C12 : 0x1C13;
        std::vector<const ScannedPdo*> pdos;
        for (const ScannedPdo& pdo : outputs ? s.rxPdos : s.txPdos)
            if (SmOf(s, pdo, outputs))
                pdos.push_back(&pdo);
        if (assign) {
            std::snprintf(c.data(), c.size(), "clear sm pdos (0x%04X)", assignment);
            AddSdo(initCmds, c.data(), assignment, 0, {0});
        }
        for (const ScannedPdo* pdo : pdos)
            if (configure && !pdo->fixed && pdo->mappingChanged)
                AddMapping(initCmds, *pdo);
        if (!assign)
            continue;
        std::uint8_t sub = 0;
        for (const ScannedPdo* pdo : pdos) {
            std::snprintf(c.data(), c.size(), "download pdo 0x%04X:%02X index", assignment,
                          sub + 1u);
            AddSdo(initCmds, c.data(), assignment, ++sub, Le(pdo->index, 2));
        }
        std::snprintf(c.data(), c.size(), "download pdo 0x%04X count", assignment);
        AddSdo(initCmds, c.data(), assignment, 0, {sub});
    }
}

void AddMailbox(pugi::xml_node slave, const ScannedSlave& s) {
    if (s.mailboxOutSize == 0 || s.mailboxInSize == 0)
        return;
    pugi::xml_node mbx = slave.append_child("Mailbox");
    pugi::xml_node send = mbx.append_child("Send");
    Add(send, "Start", s.mailboxOutStart);
    Add(send, "Length", s.mailboxOutSize);
    pugi::xml_node recv = mbx.append_child("Recv");
    Add(recv, "Start", s.mailboxInStart);
    Add(recv, "Length", s.mailboxInSize);
    constexpr std::pair<std::uint16_t, const char*> kProtocols[] = {
        {sii::kProtocolAoe, "AoE"}, {sii::kProtocolEoe, "EoE"}, {sii::kProtocolCoe, "CoE"},
        {sii::kProtocolFoe, "FoE"}, {sii::kProtocolSoe, "SoE"}, {sii::kProtocolVoe, "VoE"}};
    for (const auto& [bit, name] : kProtocols)
        if ((s.mailboxProtocols & bit) != 0)
            Add(mbx, "Protocol", std::string(name));
    if ((s.mailboxProtocols & sii::kProtocolCoe) == 0)
        return;
    if (s.pdoNote) {
        mbx.append_child(pugi::node_comment)
            .set_value((" " + *s.pdoNote + "; no PDO downloads ").c_str());
        return;
    }
    pugi::xml_node coe = mbx.append_child("CoE");
    AddPdoDownloads(coe.append_child("InitCmds"), s);
}

void AddTreeAndDc(pugi::xml_node slave, const ScannedNetwork& network, const ScannedSlave& s,
                  bool referenceClock, const EniWriteOptions& options) {
    if (s.parent && *s.parent < network.slaves.size()) {
        pugi::xml_node prev = slave.append_child("PreviousPort");
        prev.append_attribute("Selected").set_value("true");
        Add(prev, "Port", std::string(1, static_cast<char>('A' + (s.parentPort & 3))));
        Add(prev, "PhysAddr", network.slaves[*s.parent].stationAddress);
    }
    if (!s.dcNeeded)
        return;
    pugi::xml_node dc = slave.append_child("DC");
    Add(dc, "ReferenceClock", std::string(referenceClock ? "true" : "false"));
    Add(dc, "CycleTime0", std::uint64_t{options.cycleUs} * 1000);
    Add(dc, "CycleTime1", 0);
    Add(dc, "ShiftTime", 0);
}

void AddCyclic(pugi::xml_node config, const ScannedNetwork& network, const ImagePlacement& image,
               const EniWriteOptions& options) {
    pugi::xml_node cyclic = config.append_child("Cyclic");
    Add(cyclic, "CycleTime", options.cycleUs);
    pugi::xml_node frame = cyclic.append_child("Frame");
    std::uint32_t outputs = 0, inputs = 0;
    for (const SlavePlacement& p : image.slaves) {
        outputs += p.outputBits > 0 ? 1 : 0;
        inputs += p.inputBits > 0 ? 1 : 0;
    }
    std::uint32_t offs = kFirstDatagram;
    if (image.dataBytes > 0) {
        const ecat::Command command = outputs == 0  ? ecat::Command::kLrd
                                      : inputs == 0 ? ecat::Command::kLwr
                                                    : ecat::Command::kLrw;
        pugi::xml_node cmd = frame.append_child("Cmd");
        for (const char* state : {"SAFEOP", "OP"})
            Add(cmd, "State", std::string(state));
        AddCData(cmd, "Comment", "cyclic cmd");
        Add(cmd, "Cmd", static_cast<std::uint64_t>(command));
        Add(cmd, "Addr", options.logicalStart);
        Add(cmd, "DataLength", image.dataBytes);
        // A write counts 2 per slave that takes it, a read 1.
        Add(cmd, "Cnt", 2 * outputs + inputs);
        if (inputs > 0)
            Add(cmd, "InputOffs", offs);
        if (outputs > 0)
            Add(cmd, "OutputOffs", offs);
        offs += kDatagramHeader + image.dataBytes;
    }
    pugi::xml_node status = frame.append_child("Cmd");
    for (const char* state : {"PREOP", "SAFEOP", "OP"})
        Add(status, "State", std::string(state));
    AddCData(status, "Comment", "cyclic cmd");
    Add(status, "Cmd", static_cast<std::uint64_t>(ecat::Command::kBrd));
    Add(status, "Adp", 0);
    Add(status, "Ado", reg::kAlStatus);
    Add(status, "DataLength", 2);
    Add(status, "Cnt", network.slaves.size());
    Add(status, "InputOffs", offs);
}

void AddVariables(pugi::xml_node image, const ScannedNetwork& network,
                  const ImagePlacement& placement, bool outputs) {
    for (std::size_t i = 0; i < network.slaves.size(); ++i) {
        const ScannedSlave& s = network.slaves[i];
        std::uint32_t bit = placement.slaves[i].bitStart;
        for (const ScannedPdo& pdo : outputs ? s.rxPdos : s.txPdos) {
            if (!SmOf(s, pdo, outputs))
                continue;
            for (const master::ScannedPdoEntry& e : pdo.entries) {
                if (e.index != 0) {
                    pugi::xml_node v = image.append_child("Variable");
                    Add(v, "Name", SlaveName(s) + "." + PdoName(pdo) + "." + EntryName(e));
                    Add(v, "DataType", std::string(DataTypeName(e.dataType, e.bitLength)));
                    Add(v, "BitSize", e.bitLength);
                    Add(v, "BitOffs", bit);
                }
                bit += e.bitLength;
            }
        }
    }
}

void AddProcessImage(pugi::xml_node root, const ScannedNetwork& network,
                     const ImagePlacement& placement) {
    pugi::xml_node image = root.append_child("ProcessImage");
    const std::uint32_t data = kFirstDatagram + kDatagramHeader + placement.dataBytes;
    pugi::xml_node in = image.append_child("Inputs");
    // The inputs hold the AL status read too, after the logical datagram.
    Add(in, "ByteSize", data + kDatagramHeader + 2);
    AddVariables(in, network, placement, false);
    pugi::xml_node out = image.append_child("Outputs");
    Add(out, "ByteSize", data);
    AddVariables(out, network, placement, true);
}

}  // namespace

std::string WriteEni(const ScannedNetwork& network, const EniWriteOptions& options) {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node root = doc.append_child("EtherCATConfig");
    root.append_attribute("Version").set_value("1.3");
    pugi::xml_node config = root.append_child("Config");
    pugi::xml_node masterNode = config.append_child("Master");
    pugi::xml_node info = masterNode.append_child("Info");
    AddCData(info, "Name", options.masterName);
    Add(info, "Destination", std::string("ffffffffffff"));
    Add(info, "Source", std::string("020000000001"));
    Add(info, "EtherType", std::string("a488"));
    const bool dc = std::any_of(network.slaves.begin(), network.slaves.end(),
                                [](const ScannedSlave& s) { return s.dcNeeded; });
    AddMasterInitCmds(masterNode.append_child("InitCmds"), dc);

    const ImagePlacement placement = PlaceProcessData(network, options);
    bool referenceClock = true;
    for (std::size_t i = 0; i < network.slaves.size(); ++i) {
        const ScannedSlave& s = network.slaves[i];
        pugi::xml_node slave = config.append_child("Slave");
        AddInfo(slave, s);
        AddProcessData(slave, s, placement.slaves[i]);
        AddMailbox(slave, s);
        AddSlaveInitCmds(slave.append_child("InitCmds"), s, placement.slaves[i], options);
        AddTreeAndDc(slave, network, s, referenceClock && s.dcNeeded, options);
        referenceClock = referenceClock && !s.dcNeeded;
    }
    AddCyclic(config, network, placement, options);
    AddProcessImage(config, network, placement);
    std::ostringstream text;
    doc.save(text, "  ", pugi::format_indent, pugi::encoding_utf8);
    return text.str();
}

}  // namespace parvane::scan
