// The FMMUs of a slave's process data: where its Send and Recv bits lie in
// the logical address space (from the cyclic commands that carry them), the
// entries the master computes from that, and whether the 16 bytes an init
// command writes into an FMMU are an entry at all (some exports write bytes
// there that decode to none).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "ecat/registers.h"
#include "eni/model.h"

namespace parvane::master {

// Where a cyclic logical command's part of the process image starts, as
// configurators count a slave's BitStart.
enum class WindowStart : std::uint8_t {
    kFrame,    // (Offs + 10) bytes: Offs names the datagram header in a frame-shaped image
    kData,     // Offs bytes: Offs names the datagram's data
    kCommand,  // BitStart counts from the start of the command's data
};

using FmmuBytes = std::array<std::uint8_t, ecat::reg::kFmmuSize>;

// The logical windows of a file's cyclic commands, read the way the whole
// file counts: the first way under which every slave's process data lies in
// a command that carries it. A file that fits no single way is read range
// by range, each the first way it fits.
class LogicalImage {
  public:
    // `config` must outlive the image.
    explicit LogicalImage(const eni::NetworkConfig& config);

    // The logical bit address of the range's first bit; nothing when no
    // cyclic command of the direction carries the whole range.
    std::optional<std::uint64_t> BitAddressOf(const eni::BitRange& range, bool outputs) const;
    // Whether [start, start + length) lies inside one cyclic logical
    // command's data.
    bool Covers(std::uint32_t start, std::uint32_t length) const;
    // Whether the file has a cyclic logical command at all (without one it
    // says nothing of where process data lies).
    bool HasWindows() const { return hasWindows_; }
    std::optional<WindowStart> windowStart() const { return windowStart_; }

  private:
    std::optional<std::uint64_t> Find(const eni::BitRange& range, bool outputs,
                                      WindowStart from) const;

    const eni::NetworkConfig& config_;
    std::optional<WindowStart> windowStart_;
    bool hasWindows_ = false;
};

// The start address of the slave's first sync manager of that direction.
std::optional<std::uint16_t> ProcessSmStart(const eni::ProcessData& pd, bool outputs);

// The entry that maps `range` onto the sync manager at `physical`; nothing
// when no cyclic command carries the range.
std::optional<FmmuBytes> ProcessDataFmmu(const LogicalImage& image, const eni::BitRange& range,
                                         std::uint16_t physical, bool outputs);

// Whether `bytes` are an FMMU entry: all zero (a cleared one), or type 1
// to 3 (0 only while inactive), start and stop bits 0 to 7, activate 0 or
// 1, and, when active on one of the slave's process data sync managers in a
// file with cyclic logical commands, a logical range that one of them holds.
bool IsFmmuEntry(std::span<const std::uint8_t, ecat::reg::kFmmuSize> bytes,
                 const LogicalImage& image, const eni::ProcessData* pd);

// The entry the master writes instead of one that is not an entry, for
// FMMU `number` of the slave: of the direction its type names, or else the
// direction configurators give that number (outputs first, then inputs,
// each where the slave has a sync manager of it). An inactive entry of the
// direction where the slave has no process data of it; nothing where the
// master cannot compute one.
std::optional<FmmuBytes> ReplacementFmmu(std::span<const std::uint8_t, ecat::reg::kFmmuSize> bytes,
                                         unsigned number, const LogicalImage& image,
                                         const eni::ProcessData& pd);

}  // namespace parvane::master
