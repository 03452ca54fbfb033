#include "emulator/slave_model.h"

#include <algorithm>

#include "ecat/byte_order.h"
#include "ecat/sii.h"

namespace parvane::emulator {
namespace {

namespace sii = ecat::sii;

constexpr std::uint8_t kSm0Control = 0x26;  // mailbox, master writes, PDI event
constexpr std::uint8_t kSm1Control = 0x22;  // mailbox, master reads, PDI event

std::optional<MailboxLayout> LayoutOf(const eni::Slave& slave) {
    if (!slave.mailbox)
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

void AddPdoCategory(sii::ImageWriter& writer, sii::Category category,
                    const std::vector<eni::Pdo>& pdos) {
    for (const eni::Pdo& pdo : pdos) {
        std::vector<std::uint8_t> bytes(sii::kPdoHeaderSize +
                                        sii::kPdoEntrySize * pdo.entries.size());
        ecat::Put16(&bytes[0], pdo.index);
        bytes[2] = static_cast<std::uint8_t>(pdo.entries.size());
        bytes[3] = pdo.sm.value_or(0xFF);
        ecat::Put16(&bytes[6], pdo.fixed ? 0x0010 : 0x0000);
        std::size_t at = sii::kPdoHeaderSize;
        for (const eni::PdoEntry& entry : pdo.entries) {
            ecat::Put16(&bytes[at], entry.index);
            bytes[at + 2] = entry.subIndex;
            bytes[at + 5] = entry.bitLength;
            at += sii::kPdoEntrySize;
        }
        writer.AddCategory(category, bytes);
    }
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

// The sync managers' communication types (0x1C00): SM0/SM1 the mailbox's,
// the others as the file types them (unused 0, mailbox out 1, mailbox in
// 2, outputs 3, inputs 4, the order of eni::SmType).
std::vector<std::uint32_t> SmCommunicationTypes(const eni::Slave& slave) {
    std::vector<std::uint32_t> types;
    if (slave.mailbox)
        types = {static_cast<std::uint32_t>(eni::SmType::kMailboxOut),
                 static_cast<std::uint32_t>(eni::SmType::kMailboxIn)};
    if (slave.processData) {
        for (const eni::SyncManager& sm : slave.processData->sms) {
            if (sm.number < 2 || sm.number >= 16)
                continue;
            if (types.size() <= sm.number)
                types.resize(sm.number + 1u, 0);
            types[sm.number] = static_cast<std::uint32_t>(sm.type);
        }
    }
    return types;
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
    od->AddArray(0x1C00, SmCommunicationTypes(slave), 1, false, false);
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
    bool outputs = false, inputs = false;
    if (slave.processData) {
        for (const eni::SyncManager& sm : slave.processData->sms) {
            if (sm.type != eni::SmType::kOutputs && sm.type != eni::SmType::kInputs)
                continue;
            if (sm.number >= 16 || (layout && sm.number < 2))
                continue;
            put(sm.number, sm.startAddress, sm.defaultSize, sm.controlByte, sm.enable,
                IsOutputs(sm.type) ? sii::kSmTypeOutputs : sii::kSmTypeInputs);
            (IsOutputs(sm.type) ? outputs : inputs) |= sm.defaultSize > 0;
        }
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
    if (slave.processData) {
        AddPdoCategory(writer, sii::Category::kTxPdo, slave.processData->txPdos);
        AddPdoCategory(writer, sii::Category::kRxPdo, slave.processData->rxPdos);
    }
    return writer.Finish();
}

std::shared_ptr<const SlaveModel> ModelCache::Get(const eni::Slave& slave,
                                                  const ModelOverrides& overrides) {
    // A slave without a mailbox has no microcontroller to run one.
    const bool deviceEmulation = overrides.deviceEmulation || !slave.mailbox;
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
