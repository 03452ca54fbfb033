// The ESC's FMMUs: logical addressing at bit granularity. Two slaves share the
// bytes of one LRW; each reads and writes only its bits, in line order, and
// the working counter adds 1 per reading and 2 per writing slave.
#include <gtest/gtest.h>

#include "emulator_test_support.h"

namespace parvane::emulator::test {
namespace {

constexpr std::uint8_t kLrd = 10, kLwr = 11, kLrw = 12;

// FMMU entries: logical start, length, start bit, stop bit, physical start,
// physical start bit, type (1 read, 2 write), activate.
const Step kSteps[] = {
    {"A: FMMU0 writes logical 0x10000 bits 0-3 to 0x1000 bits 0-3", kApwr, 0x0000, 0x0600,
     "00 00 01 00 01 00 00 03 00 10 00 02 01 00 00 00",
     "00 00 01 00 01 00 00 03 00 10 00 02 01 00 00 00", 1},
    {"A: FMMU1 reads logical 0x10000 bits 4-7 from 0x1100 bits 2-5", kApwr, 0x0000, 0x0610,
     "00 00 01 00 01 00 04 07 00 11 02 01 01 00 00 00",
     "00 00 01 00 01 00 04 07 00 11 02 01 01 00 00 00", 1},
    {"A: FMMU2 writes logical 0x30000 bit 4 .. 0x30001 bit 3 to 0x1200", kApwr, 0x0000, 0x0620,
     "00 00 03 00 02 00 04 03 00 12 00 02 01 00 00 00",
     "00 00 03 00 02 00 04 03 00 12 00 02 01 00 00 00", 1},
    {"A: inputs 0x2C at 0x1100", kApwr, 0x0000, 0x1100, "2c", "2c", 1},
    {"B: FMMU0 writes logical 0x10001 to 0x1000", kApwr, 0xFFFF, 0x0600,
     "01 00 01 00 01 00 00 07 00 10 00 02 01 00 00 00",
     "01 00 01 00 01 00 00 07 00 10 00 02 01 00 00 00", 1},
    {"B: FMMU1 reads logical 0x10000 bit 7 from 0x1100 bit 0", kApwr, 0xFFFF, 0x0610,
     "00 00 01 00 01 00 07 07 00 11 00 01 01 00 00 00",
     "00 00 01 00 01 00 07 07 00 11 00 01 01 00 00 00", 1},
    {"LRW over both: A writes 5 and reads B (1011), B writes 3c and clears bit 7", kLrw, 0x0000,
     0x0001, "a5 3c", "35 3c", 6},
    {"A took the low nibble", kAprd, 0x0000, 0x1000, "00", "05", 1},
    {"B took the second byte", kAprd, 0xFFFF, 0x1000, "00", "3c", 1},
    {"LRD: only the reading FMMUs act", kLrd, 0x0000, 0x0001, "ff ff", "3f ff", 2},
    {"LWR: only the writing FMMUs act, the data comes back as sent", kLwr, 0x0000, 0x0001, "0f 77",
     "0f 77", 2},
    {"A's nibble replaced, its other bits kept", kAprd, 0x0000, 0x1000, "00", "0f", 1},
    {"B's byte replaced", kAprd, 0xFFFF, 0x1000, "00", "77", 1},
    {"LRW reaching only the first mapped byte", kLrw, 0xFFFF, 0x0000, "00 a5", "00 35", 4},
    {"LRW where nothing is mapped", kLrw, 0x0000, 0x0002, "12 34", "12 34", 0},
    {"LWR across a byte boundary at bit offset 4", kLwr, 0x0000, 0x0003, "f0 0e", "f0 0e", 1},
    {"the 8 bits land in one byte", kAprd, 0x0000, 0x1200, "00", "ef", 1},
    {"B's reading FMMU switched off", kApwr, 0xFFFF, 0x061C, "00", "00", 1},
    {"B no longer reads nor counts for it", kLrw, 0x0000, 0x0001, "00 00", "b0 00", 5},
};

TEST(Logical, FmmuBitMappingAcrossTwoSlaves) {
    FakeClock clock;
    auto segment = MakeSegment({PlainSlave(1), PlainSlave(2)}, clock);
    RunSteps(*segment, clock, kSteps);
}

}  // namespace
}  // namespace parvane::emulator::test
