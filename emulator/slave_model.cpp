#include "emulator/slave_model.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/sii.h"
#include "emulator/dc_sync_device.h"

namespace parvane::emulator {
namespace {

namespace sii = ecat::sii;

constexpr std::uint8_t kSm0Control = 0x26;  // mailbox, master writes, PDI event
constexpr std::uint8_t kSm1Control = 0x22;  // mailbox, master reads, PDI event

// The mailbox the slave has: none when the file gives SM0/SM1 no lengths (a
// mailbox element with only a poll time, say): there is nothing to hold.
std::optional<MailboxLayout> LayoutOf(const eni::Slave& slave) {
    if (!slave.mailbox || slave.mailbox->sendLength == 0 || slave.mailbox->recvLength == 0)
        return std::nullopt;
    const eni::Mailbox& m = *slave.mailbox;
    MailboxLayout layout{m.sendStart, m.sendLength, m.recvStart, m.recvLength, m.protocols};
    if (layout.protocols == 0)
        layout.protocols = sii::kProtocolCoe;
    return layout;
}

// Each IDN the SoE commands name, once, holding the value first written.
std::vector<SoeParameter> SoeParametersOf(const eni::Mailbox& mailbox) {
    std::vector<SoeParameter> found;
    for (const eni::SoeInitCmd& cmd : mailbox.soeInitCmds) {
        const bool known = std::any_of(found.begin(), found.end(), [&](const SoeParameter& p) {
            return p.driveNo == cmd.driveNo && p.idn == cmd.idn;
        });
        if (!known)
            found.push_back({cmd.driveNo, cmd.idn, cmd.data});
    }
    return found;
}

bool IsOutputs(eni::SmType type) {
    return type == eni::SmType::kOutputs;
}

std::vector<const eni::Pdo*> AssignedPdos(const eni::Slave& slave, const eni::SyncManager& sm) {
    std::vector<const eni::Pdo*> found;
    if (!slave.processData)
        return found;
    const auto& pdos = IsOutputs(sm.type) ? slave.processData->rxPdos : slave.processData->txPdos;
    for (const eni::Pdo& pdo : pdos) {
        const bool listed = std::find(sm.pdos.begin(), sm.pdos.end(), pdo.index) != sm.pdos.end();
        if (listed || (sm.pdos.empty() && pdo.sm == sm.number))
            found.push_back(&pdo);
    }
    return found;
}

// The PDOs an SM names that the file does not define.
std::vector<std::uint16_t> UndefinedPdos(const eni::Slave& slave, const eni::SyncManager& sm) {
    std::vector<std::uint16_t> found;
    const auto defines = [&](const std::vector<eni::Pdo>& pdos, std::uint16_t index) {
        return std::any_of(pdos.begin(), pdos.end(),
                           [&](const eni::Pdo& p) { return p.index == index; });
    };
    for (const std::uint16_t index : sm.pdos) {
        if (!defines(slave.processData->rxPdos, index) &&
            !defines(slave.processData->txPdos, index))
            found.push_back(index);
    }
    return found;
}

// The bits an SM's undefined PDOs map on a real device: what the file gives
// the SM (its DefaultSize, else Send/Recv when it is the only SM of its
// direction) beyond the PDOs it defines.
std::uint32_t UndefinedPdoBits(const eni::Slave& slave, const eni::SyncManager& sm) {
    if (UndefinedPdos(slave, sm).empty())
        return 0;
    std::uint32_t defined = 0;
    for (const eni::Pdo* pdo : AssignedPdos(slave, sm))
        defined += pdo->bitLength();
    std::uint32_t bits = sm.defaultSize * 8u;
    const auto& range = IsOutputs(sm.type) ? slave.processData->send : slave.processData->recv;
    const auto sameDirection =
        std::count_if(slave.processData->sms.begin(), slave.processData->sms.end(),
                      [&](const eni::SyncManager& other) { return other.type == sm.type; });
    if (bits <= defined && range && sameDirection == 1)
        bits = range->bitLength;
    return bits > defined ? bits - defined : 0;
}

// For the model's key: the PDOs each SM names, with the bits the ones the
// file does not define map.
void AddPdoNamesToKey(std::vector<std::uint8_t>& key, const eni::Slave& slave) {
    if (!slave.processData)
        return;
    for (const eni::SyncManager& sm : slave.processData->sms) {
        std::vector<std::uint8_t> bytes(2 * sm.pdos.size() + 6);
        ecat::Put16(&bytes[0], static_cast<std::uint16_t>(sm.pdos.size()));
        for (std::size_t i = 0; i < sm.pdos.size(); ++i)
            ecat::Put16(&bytes[2 + 2 * i], sm.pdos[i]);
        ecat::Put32(&bytes[bytes.size() - 4], UndefinedPdoBits(slave, sm));
        key.insert(key.end(), bytes.begin(), bytes.end());
    }
}

// One category holding every PDO of a direction back to back: the form
// every reader takes (some read only the first category of a type).
void AddPdoCategory(sii::ImageWriter& writer, sii::Category category,
                    const std::vector<eni::Pdo>& pdos) {
    std::vector<std::uint8_t> bytes;
    for (const eni::Pdo& pdo : pdos) {
        std::size_t at = bytes.size();
        bytes.resize(at + sii::kPdoHeaderSize + sii::kPdoEntrySize * pdo.entries.size());
        ecat::Put16(&bytes[at], pdo.index);
        bytes[at + 2] = static_cast<std::uint8_t>(pdo.entries.size());
        bytes[at + 3] = pdo.sm.value_or(0xFF);
        ecat::Put16(&bytes[at + 6], pdo.fixed ? 0x0010 : 0x0000);
        at += sii::kPdoHeaderSize;
        for (const eni::PdoEntry& entry : pdo.entries) {
            ecat::Put16(&bytes[at], entry.index);
            bytes[at + 2] = entry.subIndex;
            bytes[at + 5] = entry.bitLength;
            at += sii::kPdoEntrySize;
        }
    }
    if (!bytes.empty())
        writer.AddCategory(category, bytes);
}

// A sync manager of the process data as the SII's SyncM category lists it.
struct SiiSm {
    std::uint8_t number = 0;
    std::uint16_t start = 0;
    std::uint16_t length = 0;
    std::uint8_t control = 0;
    bool enable = false;
    std::uint8_t type = sii::kSmTypeUnused;
};

// The process data as the SII describes it: the file's sync managers and
// PDOs, and for a direction the file gives only as a bit range (no sync
// manager, no PDO entry) what such a device carries: a sync manager of that
// many bytes and one PDO mapping the bits (entries of at most 255 bits, the
// width of the entry's length byte). Without a mailbox that is the digital
// I/O style: outputs from SM0 at 0x0F00 (when they fit the four output
// registers), inputs at 0x1000; with one, the next SMs after the mailbox's.
struct SiiProcessData {
    std::vector<SiiSm> sms;
    std::vector<eni::Pdo> rxPdos, txPdos;
};

std::uint16_t FirstFreeAfter(const SiiProcessData& out, const std::optional<MailboxLayout>& mbx) {
    std::uint32_t next = 0x1000;
    auto past = [&next](std::uint32_t start, std::uint32_t length) {
        if (length > 0)
            next = std::max(next, (start + length + 7) & ~7u);
    };
    if (mbx) {
        past(mbx->outStart, mbx->outLength);
        past(mbx->inStart, mbx->inLength);
    }
    for (const SiiSm& sm : out.sms)
        past(sm.start, sm.length);
    return static_cast<std::uint16_t>(next);
}

void AddRangeOnly(SiiProcessData& out, bool outputs, std::uint32_t bits,
                  const std::optional<MailboxLayout>& mbx) {
    const std::uint8_t type = outputs ? sii::kSmTypeOutputs : sii::kSmTypeInputs;
    auto& pdos = outputs ? out.rxPdos : out.txPdos;
    const bool described =
        std::any_of(out.sms.begin(), out.sms.end(),
                    [&](const SiiSm& s) { return s.type == type; }) ||
        std::any_of(pdos.begin(), pdos.end(), [](const eni::Pdo& p) { return !p.entries.empty(); });
    if (bits == 0 || described)
        return;
    std::uint8_t number = mbx ? 2 : 0;
    while (std::any_of(out.sms.begin(), out.sms.end(),
                       [&](const SiiSm& s) { return s.number == number; }))
        ++number;
    const auto length = static_cast<std::uint16_t>((bits + 7) / 8);
    const bool outputRegisters = outputs && !mbx && length <= 4;
    const std::uint16_t start = outputRegisters ? 0x0F00 : FirstFreeAfter(out, mbx);
    // Buffered; outputs trigger the SM watchdog; with a microcontroller the
    // PDI is told of each access.
    const std::uint8_t control =
        static_cast<std::uint8_t>((outputs ? 0x44 : 0x00) | (mbx ? 0x20 : 0x00));
    out.sms.push_back({number, start, length, control, true, type});
    if (pdos.empty()) {
        pdos.emplace_back();
        pdos.front().index = outputs ? 0x1600 : 0x1A00;
    }
    eni::Pdo& pdo = pdos.front();
    pdo.sm = number;
    for (std::uint8_t sub = 1; bits > 0; ++sub) {
        const auto width = static_cast<std::uint8_t>(std::min<std::uint32_t>(bits, 255));
        eni::PdoEntry& entry = pdo.entries.emplace_back();
        entry.index = outputs ? 0x7000 : 0x6000;
        entry.subIndex = sub;
        entry.bitLength = width;
        bits -= width;
    }
}

SiiProcessData SiiProcessDataOf(const eni::Slave& slave, const std::optional<MailboxLayout>& mbx) {
    SiiProcessData out;
    if (!slave.processData)
        return out;
    const eni::ProcessData& pd = *slave.processData;
    for (const eni::SyncManager& sm : pd.sms) {
        if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
            continue;
        if (sm.number >= 16 || (mbx && sm.number < 2))
            continue;
        out.sms.push_back({sm.number, sm.startAddress, sm.defaultSize, sm.controlByte, sm.enable,
                           IsOutputs(sm.type) ? sii::kSmTypeOutputs : sii::kSmTypeInputs});
    }
    out.rxPdos = pd.rxPdos;
    out.txPdos = pd.txPdos;
    AddRangeOnly(out, true, pd.send ? pd.send->bitLength : 0, mbx);
    AddRangeOnly(out, false, pd.recv ? pd.recv->bitLength : 0, mbx);
    return out;
}

bool IsPdoObject(std::uint16_t index) {
    return index == 0x1C12 || index == 0x1C13 || (index >= 0x1600 && index <= 0x17FF) ||
           (index >= 0x1A00 && index <= 0x1BFF);
}

// The PDOs an SM names without defining them: the first maps the SM's bits
// the defined PDOs leave, as padding entries of up to 32 bits; the others
// map nothing.
void AddUndefinedPdos(ObjectDictionary& od, const eni::Slave& slave) {
    constexpr std::uint32_t kPaddingBits = 32;
    constexpr std::size_t kMaxEntries = 254;
    for (const eni::SyncManager& sm : slave.processData->sms) {
        if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
            continue;
        std::uint32_t bits = UndefinedPdoBits(slave, sm);
        for (const std::uint16_t pdo : UndefinedPdos(slave, sm)) {
            std::vector<std::uint32_t> entries;
            for (; bits > 0 && entries.size() < kMaxEntries; bits -= std::min(bits, kPaddingBits))
                entries.push_back(std::min(bits, kPaddingBits));  // object 0x0000:00
            if (!od.Has(pdo))
                od.AddArray(pdo, entries, 4, true, true);
            bits = 0;
        }
    }
}

// 0x1C00, the communication type of each sync manager (1 mailbox out, 2
// mailbox in, 3 outputs, 4 inputs, 0 unused), as the SII's SyncM category
// has them: a master that configures from CoE reads it to find the
// assignment objects (0x1C10 + SM number) of the process data.
void AddSmTypes(ObjectDictionary& od, const eni::Slave& slave) {
    std::vector<std::uint32_t> types{sii::kSmTypeMailboxOut, sii::kSmTypeMailboxIn, 0, 0};
    for (const SiiSm& sm : SiiProcessDataOf(slave, LayoutOf(slave)).sms) {
        if (sm.number >= types.size())
            types.resize(sm.number + 1u, 0);
        types[sm.number] = sm.type;
    }
    od.AddArray(0x1C00, types, 1, false, false);
}

// A PDO assignment object naming `pdos`; a PDO without a mapping object
// gets an empty one.
void Assign(ObjectDictionary& od, std::uint16_t assignment,
            const std::vector<std::uint16_t>& pdos) {
    od.AddArray(assignment, std::vector<std::uint32_t>(pdos.begin(), pdos.end()), 2, true, true);
    for (const std::uint16_t pdo : pdos)
        od.AddOpen(pdo);
}

// The dictionary a slave starts with: its PDOs as the configuration assigns
// and maps them, after the configuration's own downloads to the PDO objects
// (so a master that programs the sync managers from the dictionary needs no
// downloads), unless the description assigns others.
std::shared_ptr<const ObjectDictionary> BuildDictionary(const eni::Slave& slave,
                                                        const ModelOverrides& overrides) {
    auto od = std::make_shared<ObjectDictionary>();
    od->AddU32(0x1000, 0, false);
    od->AddString(0x1008, DeviceName(slave.name));
    od->AddArray(0x1018, {0, 0, 0, 0}, 4, false, false);  // the slave's own on first use
    AddSmTypes(*od, slave);
    if (slave.processData) {
        std::vector<std::uint32_t> rx, tx;
        for (const eni::SyncManager& sm : slave.processData->sms) {
            if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
                continue;
            for (const eni::Pdo* pdo : AssignedPdos(slave, sm))
                (IsOutputs(sm.type) ? rx : tx).push_back(pdo->index);
        }
        od->AddArray(0x1C12, rx, 2, true, true);
        od->AddArray(0x1C13, tx, 2, true, true);
        for (const auto* list : {&slave.processData->rxPdos, &slave.processData->txPdos}) {
            for (const eni::Pdo& pdo : *list) {
                std::vector<std::uint32_t> entries;
                for (const eni::PdoEntry& e : pdo.entries) {
                    entries.push_back((static_cast<std::uint32_t>(e.index) << 16) |
                                      (static_cast<std::uint32_t>(e.subIndex) << 8) | e.bitLength);
                }
                od->AddArray(pdo.index, entries, 4, true, true);
            }
        }
        AddUndefinedPdos(*od, slave);
    }
    for (const eni::CoeInitCmd& cmd : slave.mailbox->coeInitCmds) {
        if (!od->Has(cmd.index)) {
            od->AddOpen(cmd.index);
            if (cmd.ccs == 2 && !cmd.completeAccess)
                od->Download(cmd.index, cmd.subIndex, false, cmd.data, ecat::AlState::kPreOp);
        }
        if (cmd.ccs == 1 && IsPdoObject(cmd.index))
            od->Download(cmd.index, cmd.subIndex, cmd.completeAccess, cmd.data,
                         ecat::AlState::kPreOp);
    }
    if (overrides.outputPdos)
        Assign(*od, 0x1C12, *overrides.outputPdos);
    if (overrides.inputPdos)
        Assign(*od, 0x1C13, *overrides.inputPdos);
    od->ForgetWrites();
    return od;
}

}  // namespace

std::optional<std::uint16_t> IdentityObject::SiiWord(std::uint32_t word) const {
    if (word < sii::kWordVendorId || word >= sii::kWordSerialNo + 2u)
        return std::nullopt;
    const std::uint32_t longs[] = {identity.vendorId, identity.productCode, identity.revisionNo,
                                   serialNo};
    const std::uint32_t i = word - sii::kWordVendorId;
    return static_cast<std::uint16_t>(longs[i / 2] >> (16 * (i % 2)));
}

std::string_view DeviceName(std::string_view eniName) {
    if (eniName.ends_with(')')) {
        const auto open = eniName.rfind(" (");
        if (open != std::string_view::npos && open + 3 < eniName.size())
            return eniName.substr(open + 2, eniName.size() - open - 3);
    }
    return eniName;
}

bool SlaveModel::hasOutputs() const {
    return std::any_of(processSms.begin(), processSms.end(),
                       [](const ExpectedSm& sm) { return sm.outputs && sm.length > 0; });
}

std::vector<std::uint8_t> BuildSiiImage(const eni::Slave& slave, std::uint16_t alias,
                                        bool deviceEmulation) {
    sii::ImageWriter writer;
    // Word 0 loads 0x0140/0x0141; bit 0 of 0x0141 is device emulation.
    writer.SetWord(sii::kWordPdiControl, deviceEmulation ? 0x0100 : 0x0000);
    writer.SetWord(sii::kWordAlias, alias);
    const auto layout = LayoutOf(slave);
    if (layout) {
        for (std::uint16_t base : {sii::kWordBootRxMailbox, sii::kWordRxMailbox}) {
            writer.SetWord(base, layout->outStart);
            writer.SetWord(static_cast<std::uint16_t>(base + 1), layout->outLength);
            writer.SetWord(static_cast<std::uint16_t>(base + 2), layout->inStart);
            writer.SetWord(static_cast<std::uint16_t>(base + 3), layout->inLength);
        }
        writer.SetWord(sii::kWordMailboxProtocols, layout->protocols);
    }

    // Strings: the device's name, referred to by index 1.
    const std::string_view name = DeviceName(slave.name).substr(0, 255);
    std::vector<std::uint8_t> strings{1, static_cast<std::uint8_t>(name.size())};
    strings.insert(strings.end(), name.begin(), name.end());
    writer.AddCategory(sii::Category::kStrings, strings);

    std::vector<std::uint8_t> general(sii::kGeneralSize, 0);
    general[2] = 1;  // order
    general[3] = 1;  // name
    if (layout && (layout->protocols & sii::kProtocolCoe) != 0)
        general[5] =
            sii::kCoeSdo | sii::kCoePdoAssign | sii::kCoePdoConfig | sii::kCoeCompleteAccess;
    writer.AddCategory(sii::Category::kGeneral, general);

    // Sync managers by number: the mailbox's, then the process data's.
    std::vector<std::uint8_t> sms;
    auto put = [&sms](std::size_t number, std::uint16_t start, std::uint16_t length,
                      std::uint8_t control, bool enable, std::uint8_t type) {
        if (sms.size() < (number + 1) * sii::kSmEntrySize)
            sms.resize((number + 1) * sii::kSmEntrySize, 0);
        std::uint8_t* e = &sms[number * sii::kSmEntrySize];
        ecat::Put16(e, start);
        ecat::Put16(e + 2, length);
        e[4] = control;
        e[6] = enable ? 1 : 0;
        e[7] = type;
    };
    if (layout) {
        put(0, layout->outStart, layout->outLength, kSm0Control, true, sii::kSmTypeMailboxOut);
        put(1, layout->inStart, layout->inLength, kSm1Control, true, sii::kSmTypeMailboxIn);
    }
    const SiiProcessData pd = SiiProcessDataOf(slave, layout);
    bool outputs = false, inputs = false;
    for (const SiiSm& sm : pd.sms) {
        put(sm.number, sm.start, sm.length, sm.control, sm.enable, sm.type);
        (sm.type == sii::kSmTypeOutputs ? outputs : inputs) |= sm.length > 0;
    }
    std::vector<std::uint8_t> fmmus;
    if (outputs)
        fmmus.push_back(sii::kFmmuOutputs);
    if (inputs)
        fmmus.push_back(sii::kFmmuInputs);
    if (layout)
        fmmus.push_back(sii::kFmmuSmStatus);
    if (!fmmus.empty())
        writer.AddCategory(sii::Category::kFmmu, fmmus);
    if (!sms.empty())
        writer.AddCategory(sii::Category::kSyncManager, sms);
    AddPdoCategory(writer, sii::Category::kTxPdo, pd.txPdos);
    AddPdoCategory(writer, sii::Category::kRxPdo, pd.rxPdos);
    if (auto dc = SiiDcCategory(slave); !dc.empty())
        writer.AddCategory(sii::Category::kDc, dc);
    return writer.Finish();
}

std::shared_ptr<const SlaveModel> ModelCache::Get(const eni::Slave& slave,
                                                  const ModelOverrides& overrides) {
    // A slave without a mailbox has no microcontroller to run one.
    const bool deviceEmulation = overrides.deviceEmulation || !LayoutOf(slave);
    std::vector<std::uint8_t> image = BuildSiiImage(slave, overrides.alias, deviceEmulation);

    // The key: the image, plus what the image does not show (the CoE init
    // commands and the process-data sync managers' details).
    std::vector<std::uint8_t> key = image;
    auto add16 = [&key](std::uint32_t v) {
        key.push_back(static_cast<std::uint8_t>(v));
        key.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    if (slave.mailbox) {
        for (const eni::CoeInitCmd& cmd : slave.mailbox->coeInitCmds) {
            add16(cmd.index);
            key.push_back(cmd.subIndex);
            key.push_back(cmd.ccs);
            key.push_back(cmd.completeAccess ? 1 : 0);
            key.push_back(cmd.transitions.Has(eni::Transition::kPS) ? 1 : 0);
            add16(static_cast<std::uint32_t>(cmd.data.size()));
            key.insert(key.end(), cmd.data.begin(), cmd.data.end());
        }
    }
    add16(0xFFFF);
    if (slave.mailbox) {
        for (const eni::SoeInitCmd& cmd : slave.mailbox->soeInitCmds) {
            key.push_back(cmd.driveNo);
            add16(cmd.idn);
            add16(static_cast<std::uint32_t>(cmd.data.size()));
            key.insert(key.end(), cmd.data.begin(), cmd.data.end());
        }
    }
    add16(0xFFFF);
    AddPdoNamesToKey(key, slave);
    for (const auto* pdos : {&overrides.outputPdos, &overrides.inputPdos}) {
        add16(*pdos ? static_cast<std::uint32_t>((*pdos)->size()) : 0xFFFF);
        for (const std::uint16_t pdo : pdos->value_or(std::vector<std::uint16_t>{}))
            add16(pdo);
    }
    if (auto it = models_.find(key); it != models_.end())
        return it->second;

    auto model = std::make_shared<SlaveModel>();
    model->alias = overrides.alias;
    model->deviceEmulation = deviceEmulation;
    model->sii = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
    model->mailbox = LayoutOf(slave);
    if (slave.processData) {
        for (const eni::SyncManager& sm : slave.processData->sms) {
            if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
                continue;
            if (sm.number >= model->smCount)
                continue;
            // The buffer holds the PDOs assigned to it, the ones the file
            // names without defining them included; DefaultSize only when
            // the file assigns none.
            std::uint32_t bits = UndefinedPdoBits(slave, sm);
            const auto assigned = AssignedPdos(slave, sm);
            for (const eni::Pdo* pdo : assigned)
                bits += pdo->bitLength();
            const std::uint16_t length = assigned.empty() && bits == 0
                                             ? sm.defaultSize
                                             : static_cast<std::uint16_t>((bits + 7) / 8);
            model->processSms.push_back(
                {sm.number, IsOutputs(sm.type), sm.startAddress, length, sm.controlByte});
        }
    }
    if (model->mailbox && (model->mailbox->protocols & sii::kProtocolCoe) != 0)
        model->dictionary = BuildDictionary(slave, overrides);
    if (slave.mailbox)
        model->soeParameters = SoeParametersOf(*slave.mailbox);
    models_.emplace(std::move(key), model);
    return model;
}

}  // namespace parvane::emulator
