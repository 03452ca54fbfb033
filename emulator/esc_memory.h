// The 64 KiB address space of an emulated ESC (registers and process RAM),
// kept sparse: pages are allocated on the first write of a non-zero byte,
// and untouched pages read as zeros. Registers (0x0000-0x0FFF) come in
// 128-byte pages, so that an idle slave holds little more than the
// registers it uses (identity and features, AL and DL status, the EEPROM
// interface, the DC unit: five pages); process RAM in 512-byte pages. The
// page table takes 152 bytes. Addresses past 0xFFFF read as zeros and take
// no writes.
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
    static constexpr std::uint32_t kRamStart = 0x1000;
    static constexpr std::size_t kRegisterPageSize = 128;
    static constexpr std::size_t kRamPageSize = 512;
    static constexpr std::size_t kPages =
        kRamStart / kRegisterPageSize + (kSize - kRamStart) / kRamPageSize;

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
    static constexpr std::size_t PageSize(std::uint32_t address) {
        return address < kRamStart ? kRegisterPageSize : kRamPageSize;
    }
    static constexpr std::size_t SlotOf(std::uint32_t address) {
        return address < kRamStart
                   ? address / kRegisterPageSize
                   : kRamStart / kRegisterPageSize + (address - kRamStart) / kRamPageSize;
    }
    // The bytes from `address` to the end of its page (nullptr: untouched).
    const std::uint8_t* PageOf(std::uint32_t address) const;
    std::uint8_t* PageFor(std::uint32_t address);  // allocates

    std::array<std::uint8_t, kPages> slot_{};  // 0: untouched, else page index + 1
    // Pages one by one: a slave that takes more pages as it is configured
    // then moves no page and leaves no freed run of pages behind.
    std::vector<std::unique_ptr<std::uint8_t[]>> pages_;
    std::size_t pageBytes_ = 0;
};

}  // namespace parvane::emulator
