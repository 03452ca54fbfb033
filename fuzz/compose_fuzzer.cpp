// ComposeDriverCommandLine fed an ENI argument and an old command line. The
// input up to its first NUL is the ENI path (or a whole "-eni=" argument),
// the rest up to the next NUL the old command line; without a NUL there is
// no old command line, as when no driver runs. Both are cut to what their
// 4096-byte buffers can hold in the launcher.
//
// Invariants: the result is NUL-terminated within the buffer; the call fails
// only when the line does not fit (the same call with a buffer large enough
// for any input succeeds, and tells the length); a failure leaves the buffer
// empty; a success begins with the ENI argument, its path quoted when it
// holds a blank, and matches the large-buffer result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "launcher/driver_command_line_compose.h"

namespace {

constexpr std::size_t kBufferSize = 4096;
constexpr std::size_t kMaxText = kBufferSize - 1;
// Room for any composition of two texts of kMaxText characters.
constexpr std::size_t kLargeSize = 4 * kBufferSize;
constexpr std::string_view kEniOption = "-eni=";

std::string EniArgument(std::string_view part, bool hasOldLine) {
    if (part.empty() && !hasOldLine) {
        return {};  // no ENI named
    }
    std::string argument;
    if (part.substr(0, kEniOption.size()) != kEniOption) {
        argument = kEniOption;
    }
    argument.append(part);
    argument.resize(std::min(argument.size(), kMaxText));
    return argument;
}

std::string ExpectedStart(const std::string& eniArgument) {
    if (eniArgument.find(' ') == std::string::npos) {
        return eniArgument;
    }
    return std::string(kEniOption) + '"' + eniArgument.substr(kEniOption.size()) + '"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const bool hasOldLine = split != std::string_view::npos;
    const std::string eniArgument = EniArgument(input.substr(0, split), hasOldLine);
    std::string oldLine;
    if (hasOldLine) {
        std::string_view rest = input.substr(split + 1);
        oldLine = rest.substr(0, std::min(rest.find('\0'), kMaxText));
    }
    const char* old = hasOldLine ? oldLine.c_str() : nullptr;

    std::vector<char> large(kLargeSize, '\0');
    FUZZ_CHECK(ComposeDriverCommandLine(eniArgument.c_str(), old, large.data(),
                                        static_cast<std::uint32_t>(large.size())));
    const std::size_t length = std::strlen(large.data());
    FUZZ_CHECK(length < kLargeSize);

    // Exactly the launcher's buffer, zero-filled like its text buffers.
    std::vector<char> buffer(kBufferSize, '\0');
    const bool fits = ComposeDriverCommandLine(eniArgument.c_str(), old, buffer.data(),
                                               static_cast<std::uint32_t>(buffer.size()));
    FUZZ_CHECK(std::memchr(buffer.data(), '\0', buffer.size()) != nullptr);
    FUZZ_CHECK(fits == (length < kBufferSize));
    if (!fits) {
        for (char c : buffer) {
            FUZZ_CHECK(c == '\0');
        }
        return 0;
    }
    FUZZ_CHECK(std::strcmp(buffer.data(), large.data()) == 0);
    std::string_view line(buffer.data());
    FUZZ_CHECK(line.substr(0, ExpectedStart(eniArgument).size()) == ExpectedStart(eniArgument));
    return 0;
}
