// The sparse ESC memory's wide accesses: little-endian, across the pages'
// edges, cut at the end of the address space, and zeros that never take a
// page. The single bytes (Get8) are the oracle for the wide ones.
#include "emulator/esc_memory.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace parvane::emulator {
namespace {

TEST(EscMemory, WideAccessesAreLittleEndianAcrossPagesAndCutAtTheEnd) {
    struct Case {
        const char* name;
        std::uint32_t address;
        unsigned width;  // bytes: 2, 4 or 8
        std::uint64_t value;
        unsigned kept;  // bytes that land (the rest lie past 0xFFFF)
    };
    const Case cases[] = {
        {"in a page", 0x0910, 8, 0x0123456789ABCDEFull, 8},
        {"16 bits over a page's edge", 0x01FF, 2, 0xBEEF, 2},
        {"32 bits over a page's edge", 0x03FE, 4, 0xCAFEF00D, 4},
        {"64 bits over a page's edge", 0x05FC, 8, 0x1122334455667788ull, 8},
        {"64 bits from the registers into process RAM", 0x0FFC, 8, 0x0102030405060708ull, 8},
        {"32 bits over a RAM page's edge", 0x11FE, 4, 0x99887766, 4},
        {"32 bits at the end", 0xFFFE, 4, 0xA1B2C3D4, 2},
        {"16 bits past the end", 0x10000, 2, 0x5A5A, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EscMemory memory;
        if (c.width == 2)
            memory.Set16(c.address, static_cast<std::uint16_t>(c.value));
        else if (c.width == 4)
            memory.Set32(c.address, static_cast<std::uint32_t>(c.value));
        else
            memory.Set64(c.address, c.value);
        std::uint64_t expected = 0;
        for (unsigned i = 0; i < c.width; ++i) {
            const std::uint8_t byte =
                i < c.kept ? static_cast<std::uint8_t>(c.value >> (8 * i)) : 0;
            EXPECT_EQ(memory.Get8(c.address + i), byte) << i;
            expected |= static_cast<std::uint64_t>(byte) << (8 * i);
        }
        EXPECT_EQ(memory.Get8(c.address - 1), 0);
        EXPECT_EQ(memory.Get8(c.address + c.width), 0);
        EXPECT_EQ(memory.Get16(c.address), static_cast<std::uint16_t>(expected));
        if (c.width >= 4) {
            EXPECT_EQ(memory.Get32(c.address), static_cast<std::uint32_t>(expected));
        }
    }
}

TEST(EscMemory, ZerosTakeNoPageAndOverwriteWhatIsThere) {
    EscMemory memory;
    const std::size_t empty = memory.AllocatedBytes();
    memory.Set16(0x1000, 0);
    memory.Set32(0x2000, 0);
    memory.Set64(0x3000, 0);
    EXPECT_EQ(memory.AllocatedBytes(), empty);
    memory.Set32(0x1000, 0xFFFFFFFF);
    EXPECT_GT(memory.AllocatedBytes(), empty);
    memory.Set16(0x1001, 0);
    EXPECT_EQ(memory.Get32(0x1000), 0xFF0000FFu);
}

}  // namespace
}  // namespace parvane::emulator
