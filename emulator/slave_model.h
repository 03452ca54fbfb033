// What an emulated slave is, as opposed to what it currently holds: its SII
// image, its mailbox layout, the sync managers it expects before SAFEOP, and
// the object dictionary it starts with. Built once from an
// ENI slave and shared by every slave built from an equal one, so that a long
// segment of identical devices stores each of these once. What sets one
// device apart from others of its kind, its identity and serial number, is
// the slave's own (`IdentityObject`), so slaves that differ only there (or in
// the instance name a configurator gives them) share one model.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/object_dictionary.h"
#include "eni/model.h"

namespace parvane::emulator {

struct MailboxLayout {
    std::uint16_t outStart = 0;  // SM0: master -> slave
    std::uint16_t outLength = 0;
    std::uint16_t inStart = 0;  // SM1: slave -> master
    std::uint16_t inLength = 0;
    std::uint16_t protocols = 0;  // SII word 0x1C bits
};

// A process-data sync manager as the slave expects it before SAFEOP.
struct ExpectedSm {
    std::uint8_t number = 0;
    bool outputs = false;  // master writes
    std::uint16_t start = 0;
    std::uint16_t length = 0;  // 0: must stay disabled
    std::uint8_t control = 0;
};

// An IDN of a drive behind the slave that the configuration's SoE commands
// name, with the value it holds until the master writes it.
struct SoeParameter {
    std::uint8_t driveNo = 0;
    std::uint16_t idn = 0;
    std::vector<std::uint8_t> value;
};

// The identity one device carries in EEPROM words 0x08-0x0F and in object
// 0x1018; the model's SII image and dictionary hold zeros there.
struct IdentityObject {
    eni::SlaveIdentity identity;
    std::uint32_t serialNo = 0;

    // SII word 0x08 + i (i < 8), or nothing outside the identity words.
    std::optional<std::uint16_t> SiiWord(std::uint32_t word) const;
};

struct SlaveModel {
    std::uint16_t alias = 0;
    bool deviceEmulation = false;
    std::shared_ptr<const std::vector<std::uint8_t>> sii;
    std::optional<MailboxLayout> mailbox;
    std::vector<ExpectedSm> processSms;
    std::shared_ptr<const ObjectDictionary> dictionary;  // null without CoE
    std::vector<SoeParameter> soeParameters;
    std::uint8_t fmmuCount = 8;
    std::uint8_t smCount = 8;

    bool hasOutputs() const;
};

// The overrides a network description gives one slave's model. A slave
// without a mailbox has device emulation whatever `deviceEmulation` says.
struct ModelOverrides {
    std::uint16_t alias = 0;
    bool deviceEmulation = false;
    // The PDOs 0x1C12 / 0x1C13 assign before the master writes them, in
    // place of what the configuration's downloads leave there.
    std::optional<std::vector<std::uint16_t>> outputPdos;
    std::optional<std::vector<std::uint16_t>> inputPdos;
};

// The name a device gives itself (SII strings, object 0x1008): the type a
// configurator writes in brackets after the instance name ("Term 5 (XY2008)"
// gives "XY2008"), else the whole name.
std::string_view DeviceName(std::string_view eniName);

// The SII image an ENI slave implies (alias and checksum, mailbox words,
// general / FMMU / SyncM / PDO categories), with zeros for the identity.
std::vector<std::uint8_t> BuildSiiImage(const eni::Slave& slave, std::uint16_t alias,
                                        bool deviceEmulation);

// Builds models and hands out the same one for equal inputs.
class ModelCache {
  public:
    std::shared_ptr<const SlaveModel> Get(const eni::Slave& slave, const ModelOverrides& overrides);
    std::size_t size() const { return models_.size(); }

  private:
    std::map<std::vector<std::uint8_t>, std::shared_ptr<const SlaveModel>> models_;
};

}  // namespace parvane::emulator
