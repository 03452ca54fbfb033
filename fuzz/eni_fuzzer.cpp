// The ENI reader fed any bytes as the file's contents.
//
// Invariants: a refused file says why; never more slaves than the wire's
// 16-bit counts carry; the notes about missing elements stay bounded and
// never outnumber the count, whether the file is loaded or refused.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "eni/eni_reader.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto contents =
        parvane::eni::ReadEniText(std::string_view(reinterpret_cast<const char*>(data), size));
    const parvane::eni::Notes& notes = contents ? contents->notes : contents.error().notes;
    if (contents)
        FUZZ_CHECK(contents->slaves.size() <= 0xFFFF);
    else
        FUZZ_CHECK(!contents.error().message.empty());
    FUZZ_CHECK(notes.lines.size() <= 20);
    FUZZ_CHECK(notes.lines.size() <= notes.missingElements);
    return 0;
}
