#include "emulator/esc_memory.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace parvane::emulator {

const std::uint8_t* EscMemory::PageOf(std::uint32_t address) const {
    if (address >= kSize)
        return nullptr;
    const std::uint8_t slot = slot_[SlotOf(address)];
    return slot == 0 ? nullptr : pages_[slot - 1u].get() + address % PageSize(address);
}

std::uint8_t* EscMemory::PageFor(std::uint32_t address) {
    static_assert(kPages <= 0xFF, "a slot holds a page number + 1 in one byte");
    static_assert(kRamStart % kRamPageSize == 0);
    std::uint8_t& slot = slot_[SlotOf(address)];
    if (slot == 0) {
        pages_.push_back(std::make_unique<std::uint8_t[]>(PageSize(address)));  // zero-filled
        pageBytes_ += PageSize(address);
        slot = static_cast<std::uint8_t>(pages_.size());
    }
    return pages_[slot - 1u].get() + address % PageSize(address);
}

std::uint8_t EscMemory::Get8(std::uint32_t address) const {
    const std::uint8_t* at = PageOf(address);
    return at == nullptr ? 0 : *at;
}

// The wider accesses go through Read and Write: one page look-up each, as
// the DC unit touches several registers on every frame that passes.
std::uint16_t EscMemory::Get16(std::uint32_t address) const {
    std::array<std::uint8_t, 2> b{};
    Read(address, b);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t EscMemory::Get32(std::uint32_t address) const {
    std::array<std::uint8_t, 4> b{};
    Read(address, b);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

void EscMemory::Set8(std::uint32_t address, std::uint8_t value) {
    if (address >= kSize)
        return;
    if (value == 0 && PageOf(address) == nullptr)
        return;
    *PageFor(address) = value;
}

void EscMemory::Set16(std::uint32_t address, std::uint16_t value) {
    const std::array<std::uint8_t, 2> b{static_cast<std::uint8_t>(value),
                                        static_cast<std::uint8_t>(value >> 8)};
    Write(address, b);
}

void EscMemory::Set32(std::uint32_t address, std::uint32_t value) {
    const std::array<std::uint8_t, 4> b{
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    Write(address, b);
}

void EscMemory::Set64(std::uint32_t address, std::uint64_t value) {
    Set32(address, static_cast<std::uint32_t>(value));
    Set32(address + 4, static_cast<std::uint32_t>(value >> 32));
}

void EscMemory::Read(std::uint32_t address, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(done);
        const std::size_t chunk = std::min(out.size() - done, PageSize(at) - at % PageSize(at));
        const std::uint8_t* page = PageOf(at);
        if (page == nullptr)
            std::memset(out.data() + done, 0, chunk);
        else
            std::memcpy(out.data() + done, page, chunk);
        done += chunk;
    }
}

void EscMemory::OrInto(std::uint32_t address, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(done);
        const std::size_t chunk = std::min(out.size() - done, PageSize(at) - at % PageSize(at));
        if (const std::uint8_t* page = PageOf(at)) {
            for (std::size_t i = 0; i < chunk; ++i)
                out[done + i] |= page[i];
        }
        done += chunk;
    }
}

void EscMemory::Write(std::uint32_t address, std::span<const std::uint8_t> in) {
    std::size_t done = 0;
    while (done < in.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(done);
        if (at >= kSize)
            return;
        const std::size_t chunk = std::min(in.size() - done, PageSize(at) - at % PageSize(at));
        const auto part = in.subspan(done, chunk);
        if (PageOf(at) != nullptr ||
            std::any_of(part.begin(), part.end(), [](std::uint8_t b) { return b != 0; })) {
            std::memcpy(PageFor(at), part.data(), chunk);
        }
        done += chunk;
    }
}

std::size_t EscMemory::AllocatedBytes() const {
    return sizeof(slot_) + pages_.capacity() * sizeof(pages_[0]) + pageBytes_;
}

}  // namespace parvane::emulator
