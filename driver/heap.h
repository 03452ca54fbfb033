#pragma once

namespace parvane::driver {

// While one lives, the C library's heaps are laid out for building a large
// network's model and emulated segment: they grow in 64 MiB steps (address
// space; a page is taken only when it is touched), and the main heap and one
// thread heap are advised onto transparent huge pages. A 10,000-slave start
// then takes about a tenth of the page faults. A small network touches
// nothing past the first 2 MiB boundary, so its memory stays as it was.
// Only the driver program makes one, before its other threads start; under
// AddressSanitizer, whose allocator is not the C library's, it does nothing.
class LargeModelHeap {
  public:
    LargeModelHeap();
    ~LargeModelHeap();
    LargeModelHeap(const LargeModelHeap&) = delete;
    LargeModelHeap& operator=(const LargeModelHeap&) = delete;

  private:
    bool prepared_ = false;
};

}  // namespace parvane::driver
