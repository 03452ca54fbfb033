// The option table fed whole argument vectors: the input is split at NUL
// bytes into words behind a program name, parsed, and read back the way the
// entry routine reads it (the ENI path behind "-eni=" in a 4096-byte buffer
// whose last byte must stay NUL).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/options.h"
#include "fuzz/fuzz_check.h"
#include "tests/app/option_reset.h"

namespace {

constexpr std::size_t kArgumentBufferSize = 4096;
constexpr char kEniPrefix[] = "-eni=";
constexpr std::size_t kEniPrefixLength = sizeof kEniPrefix - 1;
constexpr std::size_t kEniPathMax = kArgumentBufferSize - 1 - kEniPrefixLength;

std::vector<std::string> SplitWords(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        std::size_t nul = rest.find('\0');
        words.emplace_back(rest.substr(0, nul));
        if (nul == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(nul + 1);
    }
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = SplitWords(data, size);
    std::string program = "parvane";
    std::vector<char*> argv{program.data()};
    const std::string* lastEni = nullptr;
    for (std::string& word : words) {
        argv.push_back(word.data());
        if (word.compare(0, kEniPrefixLength, kEniPrefix) == 0) {
            lastEni = &word;
        }
    }
    argv.push_back(nullptr);

    const std::int32_t parsed =
        ParseOptions(static_cast<std::int32_t>(argv.size() - 1), argv.data());
    FUZZ_CHECK(parsed == 0);

    // An exactly sized, zero-filled buffer: a write past it is caught.
    std::vector<char> buffer(kArgumentBufferSize, '\0');
    std::memcpy(buffer.data(), kEniPrefix, kEniPrefixLength);
    (void)GetOptionInt("-pri=", 253);
    GetOptionString("-eni=", "", buffer.data() + kEniPrefixLength, kEniPathMax);
    FUZZ_CHECK(buffer[kArgumentBufferSize - 1] == '\0');

    // The path read back is a part of the last "-eni=" word (its quotes gone).
    std::string_view path(buffer.data() + kEniPrefixLength);
    if (lastEni == nullptr) {
        FUZZ_CHECK(path.empty());
    } else {
        std::string_view word(*lastEni);
        FUZZ_CHECK(word.substr(kEniPrefixLength).find(path) != std::string_view::npos);
    }

    // Unknown names and the defaults.
    char small[8] = {};
    GetOptionString("-nope=", "default", small, sizeof small - 1);
    FUZZ_CHECK(std::strcmp(small, "default") == 0);
    FUZZ_CHECK(GetOptionInt("-nope=", 7) == 7);
    if (lastEni == nullptr) {
        FUZZ_CHECK(GetOptionInt("-eni=", -3) == -3);
    }

    ResetOptionTable();
    return 0;
}
