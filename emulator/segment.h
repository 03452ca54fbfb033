// Emulated slaves in the order a frame passes them: a line whose last slave
// sends it back, or a tree's slaves in the order its ESCs forward the frame. Addressed datagrams
// reach their slave through an index (by position, by station address and alias), so their cost
// does not grow with the line; broadcast datagrams visit every slave and logical ones the slaves
// whose FMMUs they touch.
//
// A segment can also play a faulty wire: frames that are lost, or the whole
// line going silent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ecat/frame.h"
#include "emulator/slave.h"

namespace parvane::emulator {

// Nanoseconds of a steady time source (tests inject their own).
using TimeSource = std::function<std::uint64_t()>;
TimeSource SteadyTimeSource();

struct WireFaults {
    std::uint32_t loseEvery = 0;                     // every Nth frame is lost (0: none)
    std::vector<std::uint64_t> loseFrames;           // frame numbers (from 1) that are lost
    std::optional<std::uint32_t> silentAfterMs;      // from the first frame on
    std::optional<std::uint64_t> silentAfterFrames;  // frames answered before silence
};

enum class FrameOutcome {
    kAnswered,  // the frame went round; the buffer holds the reply
    kLost,      // a lost frame: no reply
    kSilent,    // the line is silent: no reply
    kIgnored,   // not an EtherCAT frame, or one whose lengths do not hold
};

struct SlaveSpec {
    std::shared_ptr<const SlaveModel> model;
    IdentityObject identity;
    SlaveSettings settings;
    std::optional<std::uint8_t> linkedPorts;  // in a tree; nothing: a line's
};

class Segment {
  public:
    explicit Segment(std::vector<SlaveSpec> slaves, WireFaults faults = {},
                     TimeSource time = SteadyTimeSource());

    // Runs one frame through the line in place. The frame keeps its length.
    FrameOutcome Process(std::span<std::uint8_t> frame);
    // The same for a frame that arrived at `arrivedAt` on the time source's
    // scale (the model's time never runs back: an earlier stamp than a
    // frame before counts as that frame's time).
    FrameOutcome Process(std::span<std::uint8_t> frame, std::uint64_t arrivedAt);

    std::size_t size() const { return slaves_.size(); }
    const Slave& slave(std::size_t position) const { return slaves_[position]; }
    std::uint64_t framesSeen() const { return frames_; }
    // Bytes the slaves and the indexes hold (SII images and models shared).
    std::size_t MemoryBytes() const;

  private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;

    // Slaves answering one 16-bit address, as doubly linked lists.
    struct AddressIndex {
        std::vector<std::uint32_t> head;  // 65536 entries
        std::vector<std::uint32_t> next, prev;
        std::vector<std::int32_t> key;  // per slave, -1 when not listed
        void Init(std::size_t slaves);
        void Set(std::uint32_t slave, std::int32_t newKey);
    };
    struct LogicalRange {
        std::uint64_t first = 0, last = 0;
        std::uint32_t slave = 0;
    };

    void BuildSlaves(const std::vector<SlaveSpec>& specs, const std::vector<PortTimes>& timing,
                     std::uint64_t now);
    void Reindex(std::uint32_t slave);
    void RebuildLogical();
    bool Position(ecat::DatagramView d, std::uint64_t now);
    void Station(ecat::DatagramView d, std::uint64_t now);
    void Logical(ecat::DatagramView d, std::uint64_t now);
    bool Lost(std::uint64_t number, std::uint64_t now);

    std::vector<Slave> slaves_;
    WireFaults faults_;
    TimeSource time_;
    AddressIndex stations_, aliases_;
    std::vector<LogicalRange> logical_;
    std::uint64_t longestRange_ = 0;
    bool logicalDirty_ = true;
    std::uint64_t frames_ = 0;
    std::uint64_t lastNow_ = 0;
    std::optional<std::uint64_t> firstFrameAt_;
    std::vector<std::uint32_t> hits_;  // scratch, kept to avoid allocating per frame
    ecat::ParsedFrame parsed_;
};

}  // namespace parvane::emulator
