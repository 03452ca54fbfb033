// The SII EEPROM interface (0x0502 control/status, 0x0504 address, 0x0508
// data) driven as a master drives it, with a busy time and failing reads.
#include <gtest/gtest.h>

#include "ecat/sii.h"
#include "emulator/sii_eeprom.h"
#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

// One slave with a 100 us busy time whose first read fails; product 0x00001234.
const Step kSteps[] = {
    {"the interface starts idle", kAprd, 0, 0x0502, "00 00", "00 00", 1},
    {"read command for word 8 (vendor)", kApwr, 0, 0x0502, "00 01 08 00 00 00", "00 01 08 00 00 00",
     1},
    {"busy while the read runs", kAprd, 0, 0x0502, "00 00", "00 81", 1, -1, 50},
    {"a command written while busy is ignored", kApwr, 0, 0x0502, "00 04", "00 04", 1},
    {"the first read fails: no acknowledge", kAprd, 0, 0x0502, "00 00", "00 20", 1, -1, 60},
    {"writing 0 clears the error", kApwr, 0, 0x0502, "00 00", "00 00", 1},
    {"status clear", kAprd, 0, 0x0502, "00 00", "00 00", 1},
    {"read again", kApwr, 0, 0x0502, "00 01 08 00 00 00", "00 01 08 00 00 00", 1},
    {"done after the busy time: status, address and data in one read", kAprd, 0, 0x0502,
     "00 00 00 00 00 00 00 00 00 00", "00 00 08 00 00 00 bc 0a 00 00", 1, -1, 100},
    {"word 0x0A: product code", kApwr, 0, 0x0502, "00 01 0a 00 00 00", "00 01 0a 00 00 00", 1},
    {"product code", kAprd, 0, 0x0508, "00 00 00 00", "34 12 00 00", 1, -1, 100},
    {"word 0x0C: revision", kApwr, 0, 0x0502, "00 01 0c 00 00 00", "00 01 0c 00 00 00", 1},
    {"revision", kAprd, 0, 0x0508, "00 00 00 00", "00 00 01 00", 1, -1, 100},
    {"word 0x0E: serial number", kApwr, 0, 0x0502, "00 01 0e 00 00 00", "00 01 0e 00 00 00", 1},
    {"serial number", kAprd, 0, 0x0508, "00 00 00 00", "4d 00 00 00", 1, -1, 100},
    {"word 0x18: mailbox out offset and size", kApwr, 0, 0x0502, "00 01 18 00 00 00",
     "00 01 18 00 00 00", 1},
    {"mailbox out 0x1000 / 128", kAprd, 0, 0x0508, "00 00 00 00", "00 10 80 00", 1, -1, 100},
    {"word 0x1A: mailbox in offset and size", kApwr, 0, 0x0502, "00 01 1a 00 00 00",
     "00 01 1a 00 00 00", 1},
    {"mailbox in 0x1080 / 128", kAprd, 0, 0x0508, "00 00 00 00", "80 10 80 00", 1, -1, 100},
    {"word 0x1C: protocols", kApwr, 0, 0x0502, "00 01 1c 00 00 00", "00 01 1c 00 00 00", 1},
    {"CoE", kAprd, 0, 0x0508, "00 00", "04 00", 1, -1, 100},
    {"a word past the image", kApwr, 0, 0x0502, "00 01 00 40 00 00", "00 01 00 40 00 00", 1},
    {"reads as FF", kAprd, 0, 0x0508, "00 00 00 00", "ff ff ff ff", 1, -1, 100},
    {"two command bits at once are a bad command", kApwr, 0, 0x0502, "00 03", "00 03", 1},
    {"command error", kAprd, 0, 0x0502, "00 00", "00 20", 1},
    {"clear", kApwr, 0, 0x0502, "00 00", "00 00", 1},
    {"a write without write enable", kApwr, 0, 0x0502, "00 02", "00 02", 1},
    {"write-enable error", kAprd, 0, 0x0502, "00 00", "00 40", 1},
    {"clear again", kApwr, 0, 0x0502, "00 00", "00 00", 1},
    {"offered to the application", kApwr, 0, 0x0500, "01", "01", 1},
    {"the application holds it", kAprd, 0, 0x0500, "00 00", "01 01", 1},
    {"a master command then fails", kApwr, 0, 0x0502, "00 01 08 00 00 00", "00 01 08 00 00 00", 1},
    {"no acknowledge", kAprd, 0, 0x0502, "00 00", "00 20", 1},
    {"taken back", kApwr, 0, 0x0500, "00", "00", 1},
    {"the application lets go", kAprd, 0, 0x0500, "00 00", "00 00", 1},
};

TEST(Eeprom, ReadSequenceWithBusyTimeAndErrors) {
    FakeClock clock;
    auto segment = MakeSegment({MailboxSlave()}, clock,
                               R"({"slaves": [{"eeprom_busy_us": 100, "eeprom_errors": 1}]})");
    RunSteps(*segment, clock, kSteps);
}

// Reads the image word by word through the interface of the EEPROM alone,
// on a memory of its own, and checks what the SII layout prescribes:
// checksum over bytes 0-13, size word, categories.
TEST(Eeprom, ImageCarriesChecksumAndCategories) {
    const eni::Slave slave = MailboxSlave();
    SiiEeprom sii(std::make_shared<const Bytes>(BuildSiiImage(slave, 0, false)), {});
    EscMemory memory;
    auto word = [&](std::uint16_t w) {
        memory.Set32(ecat::reg::kSiiAddress, w);
        sii.Written(memory, ecat::reg::kSiiControl, Hex("00 01"), {slave.identity, 77}, 0);
        return memory.Get16(ecat::reg::kSiiData);
    };
    Bytes config;
    for (std::uint16_t w = 0; w < 7; ++w) {
        const std::uint16_t v = word(w);
        config.push_back(static_cast<std::uint8_t>(v));
        config.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    // CRC-8, polynomial 0x07, start 0xFF, worked out bit by bit here.
    std::uint8_t crc = 0xFF;
    for (std::uint8_t b : config) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    EXPECT_EQ(word(7), crc);
    EXPECT_EQ(word(0x3F), 1);  // version

    // Walk the categories: strings (10), general (30), FMMU (40), SyncM (41),
    // TxPDO (50), RxPDO (51), end.
    std::vector<std::uint16_t> types;
    std::uint16_t at = 0x40;
    std::uint16_t syncAt = 0;
    for (int guard = 0; guard < 20; ++guard) {
        const std::uint16_t type = word(at);
        if (type == 0xFFFF)
            break;
        types.push_back(type);
        if (type == 41)
            syncAt = static_cast<std::uint16_t>(at + 2);
        at = static_cast<std::uint16_t>(at + 2 + word(static_cast<std::uint16_t>(at + 1)));
    }
    EXPECT_EQ(types, (std::vector<std::uint16_t>{10, 30, 40, 41, 50, 51}));
    ASSERT_NE(syncAt, 0);
    // SM0: start 0x1000, length 128, control 0x26, enable 1, type 1 (mailbox out).
    EXPECT_EQ(word(syncAt), 0x1000);
    EXPECT_EQ(word(syncAt + 1), 128);
    EXPECT_EQ(word(syncAt + 2), 0x0026);
    EXPECT_EQ(word(syncAt + 3), 0x0101);
    // SM2: outputs at 0x1100, 2 bytes, control 0x64, type 3.
    EXPECT_EQ(word(syncAt + 8), 0x1100);
    EXPECT_EQ(word(syncAt + 9), 2);
    EXPECT_EQ(word(syncAt + 10), 0x0064);
    EXPECT_EQ(word(syncAt + 11), 0x0301);
}

// Process data the ENI gives only as Send/Recv bit ranges: the SII carries
// the sync managers and PDOs such a device has (the sizes are what an
// independent master reads in the interop tests; these are the places).
struct RangeCase {
    const char* what;
    bool mailbox;
    std::uint32_t sendBits, recvBits;
    const char* syncManagers;  // the SyncM category from SM2 on with a mailbox
    const char* txPdos;        // the TxPDO category, "" for none
};

const RangeCase kRangeCases[] = {
    {"17 input bits, no mailbox: SM0 inputs at 0x1000", false, 0, 17, "00 10 03 00 00 00 01 04",
     "00 1a 01 00 00 00 00 00 00 60 01 00 00 11 00 00"},
    {"outputs and inputs, no mailbox: SM0 at the output registers 0x0F00, SM1 at 0x1000", false, 8,
     8, "00 0f 01 00 44 00 01 03 00 10 01 00 00 00 01 04",
     "00 1a 01 01 00 00 00 00 00 60 01 00 00 08 00 00"},
    {"with a mailbox: SM2 and SM3 after it, the PDI told of each access", true, 300, 16,
     "00 11 26 00 64 00 01 03 28 11 02 00 20 00 01 04",
     "00 1a 01 03 00 00 00 00 00 60 01 00 00 10 00 00"},
};

TEST(Eeprom, BitRangesAloneGetSyncManagersAndPdos) {
    for (const RangeCase& c : kRangeCases) {
        SCOPED_TRACE(c.what);
        eni::Slave slave = MailboxSlave();
        if (!c.mailbox)
            slave.mailbox.reset();
        slave.processData = eni::ProcessData{};
        if (c.sendBits > 0)
            slave.processData->send = eni::BitRange{0, c.sendBits};
        if (c.recvBits > 0)
            slave.processData->recv = eni::BitRange{0, c.recvBits};
        const Bytes image = BuildSiiImage(slave, 0, !c.mailbox);
        const auto categories = ecat::sii::Categories(image);
        ASSERT_TRUE(categories.has_value());
        auto category = [&](ecat::sii::Category type) {
            for (const auto& ref : *categories) {
                if (ref.type == static_cast<std::uint16_t>(type))
                    return Bytes(
                        image.begin() + static_cast<long>(2 * ref.wordOffset),
                        image.begin() + static_cast<long>(2 * (ref.wordOffset + ref.wordLength)));
            }
            return Bytes{};
        };
        const Bytes sms = category(ecat::sii::Category::kSyncManager);
        const std::size_t from = c.mailbox ? 16 : 0;
        EXPECT_EQ(
            ToHex(Bytes(sms.begin() + static_cast<long>(std::min(from, sms.size())), sms.end())),
            ToHex(Hex(c.syncManagers)));
        EXPECT_EQ(ToHex(category(ecat::sii::Category::kTxPdo)), ToHex(Hex(c.txPdos)));
    }
}

}  // namespace
}  // namespace parvane::emulator::test
