// The driver's ENI reader fed any bytes as the file's contents.
//
// Invariants: a file is either loaded without an error or refused with one;
// never more slaves than the wire's 16-bit counts carry; the notes about
// missing elements stay bounded and never outnumber the count.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/eni_reader.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const driver::EniContents contents =
        driver::ReadEniText(std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(contents.loaded == contents.error.empty());
    FUZZ_CHECK(contents.slaves.size() <= 0xFFFF);
    FUZZ_CHECK(contents.notes.size() <= 20);
    FUZZ_CHECK(contents.notes.size() <= contents.missingElements);
    return 0;
}
