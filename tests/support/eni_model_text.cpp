#include "tests/support/eni_model_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <vector>

#include "eni/eni_stream.h"

namespace parvane::eni {
namespace {

class Text {
  public:
    template <typename... Fields>
    void Line(std::string_view what, const Fields&... fields) {
        out_ << what;
        ((out_ << ' ', Put(fields)), ...);
        out_ << '\n';
    }
    std::string str() const { return out_.str(); }

  private:
    void Put(std::uint64_t n) { out_ << std::hex << n << std::dec; }
    void Put(std::string_view s) { out_ << '"' << s << '"'; }
    void Put(const std::string& s) { Put(std::string_view(s)); }
    void Put(const SharedText& s) { Put(std::string_view(s.str())); }
    void Put(const std::vector<std::uint8_t>& bytes) {
        out_ << '[';
        for (std::uint8_t b : bytes) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", b);
            out_ << hex;
        }
        out_ << ']';
    }
    template <typename T>
    void Put(const std::optional<T>& value) {
        if (value)
            Put(*value);
        else
            out_ << '-';
    }
    void Put(const BitRange& r) { out_ << r.bitStart << '+' << r.bitLength; }
    void Put(const TransitionSet& set) {
        for (std::size_t t = 0; t < kTransitionCount; ++t) {
            if (set.Has(static_cast<Transition>(t)))
                out_ << TransitionText(static_cast<Transition>(t)) << ',';
        }
    }
    void Put(const Datagram& d) {
        out_ << "cmd=";
        Put(static_cast<std::uint64_t>(d.command));
        out_ << " adp=" << std::hex << d.adp << " ado=" << d.ado << " addr=" << d.logicalAddress
             << std::dec << " logical=" << d.logical << " data=";
        Put(d.data);
        out_ << " wkc=";
        Put(d.expectedWkc);
    }
    template <typename T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
    void Put(T n) { Put(static_cast<std::uint64_t>(n)); }

    std::ostringstream out_;
};

void InitCmds(Text& text, std::string_view what, const std::vector<InitCmd>& cmds) {
    for (const InitCmd& c : cmds) {
        text.Line(what, c.transitions, c.beforeSlave, c.requirement, c.comment, c.datagram,
                  c.retries, c.timeoutMs);
        if (c.validate)
            text.Line(" validate", c.validate->data, c.validate->mask, c.validate->timeoutMs);
    }
}

void Pdos(Text& text, std::string_view what, const std::vector<Pdo>& pdos) {
    for (const Pdo& p : pdos) {
        text.Line(what, p.index, p.name, p.fixed, p.sm);
        for (const PdoEntry& e : p.entries)
            text.Line("  entry", e.index, e.subIndex, e.bitLength, e.name, e.dataType);
    }
}

}  // namespace

std::string ModelText(const EniContents& contents) {
    Text text;
    for (const SlaveIdentity& id : contents.slaves)
        text.Line("identity", id.vendorId, id.productCode, id.revisionNo);
    text.Line("notes", contents.notes.missingElements);
    for (const std::string& line : contents.notes.lines)
        text.Line("note", line);
    const NetworkConfig& config = contents.config;
    const MasterInfo& master = config.master;
    text.Line("master", master.name,
              std::vector<std::uint8_t>(master.destination.begin(), master.destination.end()),
              std::vector<std::uint8_t>(master.source.begin(), master.source.end()));
    if (config.mailboxStates)
        text.Line("mailbox states", config.mailboxStates->startAddr, config.mailboxStates->count);
    InitCmds(text, "master init", config.masterInitCmds);
    for (const Slave& s : config.slaves) {
        text.Line("slave", s.name, s.physAddr, s.autoIncAddr, s.identity.vendorId,
                  s.identity.productCode, s.identity.revisionNo, s.serialNo, s.passive,
                  s.hotConnectGroupSize);
        if (s.previousPort)
            text.Line(" previous port", s.previousPort->port, s.previousPort->physAddr);
        if (const auto& pd = s.processData) {
            text.Line(" process data", pd->send, pd->recv);
            for (const SyncManager& sm : pd->sms) {
                text.Line(" sm", sm.number, sm.type, sm.startAddress, sm.controlByte, sm.enable,
                          sm.defaultSize);
                for (std::uint16_t pdo : sm.pdos)
                    text.Line("  assigned", pdo);
            }
            Pdos(text, " rx pdo", pd->rxPdos);
            Pdos(text, " tx pdo", pd->txPdos);
        }
        if (const auto& mb = s.mailbox) {
            text.Line(" mailbox", mb->sendStart, mb->sendLength, mb->recvStart, mb->recvLength,
                      mb->pollTimeMs, mb->statusBitAddr, mb->protocols);
            for (const CoeInitCmd& c : mb->coeInitCmds) {
                text.Line("  coe", c.transitions, c.comment, c.timeoutMs, c.ccs, c.index,
                          c.subIndex, c.completeAccess, c.data);
            }
            for (const SoeInitCmd& c : mb->soeInitCmds) {
                text.Line("  soe", c.transitions, c.comment, c.timeoutMs, c.opCode, c.driveNo,
                          c.idn, c.elements, c.data);
            }
            for (const EoeInitCmd& c : mb->eoeInitCmds)
                text.Line("  eoe", c.transitions, c.comment, c.timeoutMs, c.data);
            for (const SkippedInitCmd& c : mb->skippedInitCmds)
                text.Line("  skipped", c.protocol, c.transitions, c.comment);
        }
        InitCmds(text, " init", s.initCmds);
    }
    for (const Cyclic& cyclic : config.cyclic) {
        text.Line("cyclic", cyclic.cycleTimeUs);
        for (const CyclicFrame& frame : cyclic.frames) {
            text.Line(" frame");
            for (const CyclicCmd& c : frame.cmds)
                text.Line("  cmd", c.states, c.comment, c.datagram, c.inputOffs, c.outputOffs);
        }
    }
    text.Line("process image", config.processImage.inputBytes, config.processImage.outputBytes);
    return text.str();
}

std::optional<EniContents> StreamText(std::string_view text, std::size_t firstChunk) {
    std::size_t at = 0;
    return StreamEni(text.size(), [&](char* into, std::size_t size) -> std::optional<std::size_t> {
        const std::size_t chunk = at < 1024 ? std::max<std::size_t>(firstChunk, 1) : 1000;
        const std::size_t n = std::min({size, chunk, text.size() - at});
        std::memcpy(into, text.data() + at, n);
        at += n;
        return n;
    });
}

std::expected<EniContents, Error> ReadWholeDocument(std::string_view text) {
    std::size_t at = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    if (text.substr(at, 5) == "<?xml" && text.find("?>", at) != std::string_view::npos)
        at = text.find("?>", at) + 2;
    std::string typed(text.substr(0, at));
    typed += "<!DOCTYPE x>";
    typed += text.substr(at);
    return ReadEniText(typed);
}

}  // namespace parvane::eni
