// The SII category decoders a network scan reads a slave's EEPROM with, fed
// any bytes: once as the category area after the header (the walk and every
// decoder, as the scan takes them), once as the data of each category type.
//
// Invariants: no read outside the input (ASan); what a decoder returns fits
// the bytes it was given (no record, string or entry made up past them).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ecat/sii.h"
#include "ecat/sii_categories.h"
#include "fuzz/fuzz_check.h"
#include "master/network_scan_steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace parvane;
    namespace sii = ecat::sii;
    const std::span<const std::uint8_t> bytes(data, size);

    const std::vector<std::string> strings = sii::DecodeStrings(bytes);
    std::size_t stringBytes = 0;
    for (const std::string& s : strings)
        stringBytes += 1 + s.size();
    FUZZ_CHECK(strings.empty() || 1 + stringBytes <= size);
    FUZZ_CHECK(size >= 16 || !sii::DecodeGeneral(bytes));
    FUZZ_CHECK(sii::DecodeFmmus(bytes).size() == size);
    FUZZ_CHECK(sii::DecodeSyncManagers(bytes).size() == size / sii::kSmEntrySize);
    FUZZ_CHECK(sii::DecodeDcModes(bytes).size() == size / sii::kDcModeSize);
    std::size_t pdoBytes = 0;
    for (const sii::PdoRecord& pdo : sii::DecodePdos(bytes))
        pdoBytes += sii::kPdoHeaderSize + sii::kPdoEntrySize * pdo.entries.size();
    FUZZ_CHECK(pdoBytes <= size);

    master::ScannedSlave slave;
    std::vector<sii::PdoRecord> tx, rx;
    std::vector<std::string> names;
    master::DecodeCategories(slave, {bytes.begin(), bytes.end()}, tx, rx, names);
    FUZZ_CHECK(slave.sms.size() <= size / sii::kSmEntrySize);
    FUZZ_CHECK(slave.fmmuUsage.size() <= size);
    const auto assigned = master::SiiAssigned(rx, names);
    FUZZ_CHECK(assigned.size() <= rx.size());
    for (const master::ScannedPdo& pdo : assigned)
        FUZZ_CHECK(pdo.entries.size() <= 255 && pdo.sm.has_value());
    return 0;
}
