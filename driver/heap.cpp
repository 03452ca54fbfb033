#include "driver/heap.h"

#include <malloc.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "eni/model.h"

namespace parvane::driver {
namespace {

// How far a heap grows at a time: a thread heap's whole reservation.
constexpr std::size_t kStep = std::size_t{64} << 20;
// Blocks from this size on get mappings of their own: half a step, the
// largest the C library takes, so that the model's large arrays come from
// the advised heaps too.
constexpr std::size_t kOwnMapping = kStep / 2;
// The C library's own settings, restored once the model is built (its
// threshold for own mappings then no longer adapts to freed blocks).
constexpr std::size_t kDefaultTopPad = std::size_t{128} << 10;
constexpr std::size_t kDefaultOwnMapping = std::size_t{128} << 10;
#ifdef __SANITIZE_ADDRESS__
constexpr bool kCLibraryHeap = false;  // the sanitizer's allocator stands in for it
#else
constexpr bool kCLibraryHeap = true;
#endif

struct Range {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

// Advises the whole huge pages inside `range`.
void Advise(Range range) {
    eni::AdviseHugePages(reinterpret_cast<const void*>(range.begin), range.end - range.begin);
}

// The main heap grows by moving the program break, and each growth after an
// advice is a mapping of its own that the advice does not reach. So it is
// grown by a whole step now, with a block larger than its free top, and the
// step is advised.
void AdviseMainHeap() {
    const std::size_t top = mallinfo2().keepcost;  // the main heap's free top
    void* block = std::malloc(top + (std::size_t{64} << 10));
    if (block == nullptr)
        return;
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const auto end = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    // A block from a mapping of its own (the break could not move) is not
    // below the break, or far from it.
    if (begin < end && end - begin <= 2 * kStep)
        Advise({begin, end});
    std::free(block);
}

// The mapping of /proc/self/maps that holds `address`.
bool MappingOf(std::uintptr_t address, Range& mapping) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const char* text = line.data();
        const char* const stop = text + line.size();
        Range range;
        auto [dash, error] = std::from_chars(text, stop, range.begin, 16);
        if (error != std::errc() || dash == stop || *dash != '-')
            continue;
        if (std::from_chars(dash + 1, stop, range.end, 16).ec != std::errc())
            continue;
        if (range.begin <= address && address < range.end) {
            mapping = range;
            return true;
        }
    }
    return false;
}

// A thread's first allocation makes its heap, which now spans a whole step;
// that heap is advised. The C library hands a finished thread's heap to the
// next thread that starts, so the ENI reader's and the segment builder's
// helper threads build on this one.
void AdviseThreadHeap() {
    try {
        std::thread([] {
            void* block = std::malloc(64);
            Range mapping;
            if (block != nullptr && MappingOf(reinterpret_cast<std::uintptr_t>(block), mapping) &&
                mapping.end - mapping.begin <= kStep)
                Advise(mapping);
            std::free(block);
        }).join();
    } catch (const std::system_error&) {
        // No thread to be had: the helpers make their heaps as they go.
    }
}

}  // namespace

LargeModelHeap::LargeModelHeap() {
    if (!kCLibraryHeap)
        return;
    prepared_ = ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kOwnMapping)) == 1 &&
                ::mallopt(M_TOP_PAD, static_cast<int>(kStep)) == 1;
    if (!prepared_)
        return;
    AdviseMainHeap();
    AdviseThreadHeap();
}

LargeModelHeap::~LargeModelHeap() {
    if (!prepared_)
        return;
    ::mallopt(M_TOP_PAD, static_cast<int>(kDefaultTopPad));
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kDefaultOwnMapping));
}

}  // namespace parvane::driver
