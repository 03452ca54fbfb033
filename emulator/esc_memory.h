// The 64 KiB address space of an emulated ESC (registers and process RAM),
// kept sparse: 512-byte pages are allocated on the first write of a non-zero
// byte, and untouched pages read as zeros. The page size keeps every
// register a slave holds before it is configured (0x0000-0x01FF, then the
// watchdogs and the EEPROM interface at 0x0400-0x05FF) in two pages, and the
// page table in 128 bytes, so that a long line of idle slaves stays small. Addresses past 0xFFFF
// read as zeros and take no writes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace parvane::emulator {

class EscMemory {
  public:
    static constexpr std::size_t kSize = 0x10000;
    static constexpr std::size_t kPageSize = 512;
    static constexpr std::size_t kPages = kSize / kPageSize;

    std::uint8_t Get8(std::uint32_t address) const;
    std::uint16_t Get16(std::uint32_t address) const;
    std::uint32_t Get32(std::uint32_t address) const;
    void Set8(std::uint32_t address, std::uint8_t value);
    void Set16(std::uint32_t address, std::uint16_t value);
    void Set32(std::uint32_t address, std::uint32_t value);
    void Set64(std::uint32_t address, std::uint64_t value);

    void Read(std::uint32_t address, std::span<std::uint8_t> out) const;
    void Write(std::uint32_t address, std::span<const std::uint8_t> in);
    // ORs the memory into `out` (what a broadcast read does).
    void OrInto(std::uint32_t address, std::span<std::uint8_t> out) const;

    // Bytes held by allocated pages and the page table.
    std::size_t AllocatedBytes() const;

  private:
    using Page = std::array<std::uint8_t, kPageSize>;
    const std::uint8_t* PageOf(std::uint32_t address) const;
    std::uint8_t* PageFor(std::uint32_t address);  // allocates

    std::array<std::uint8_t, kPages> slot_{};  // 0: untouched, else page index + 1
    // Pages one by one: a slave that takes more pages as it is configured
    // then moves no page and leaves no freed run of pages behind.
    std::vector<std::unique_ptr<Page>> pages_;
};

}  // namespace parvane::emulator
