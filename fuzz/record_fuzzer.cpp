// ReadDriverCommandLine over a command-line record of any bytes and any size.
// The record is valid when byte 0 (L) is at most 127, the text starts at
// 2 + L inside the object and a NUL ends it before the object ends; the
// reader must copy exactly that text when it fits the buffer, refuse
// everything else, never read outside the object (the fake platform maps it
// into an exactly sized block) and release its mapping. The platform's own
// reader of the record must agree with it.
//
// The same bytes, split at NUL into a program path and a command line, are
// also written as a record by the platform's writer; the launcher must read
// the command line back unchanged when it fits its buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/record_platform.h"
#include "launcher/driver_command_line_read.h"
#include "platform/record.h"

namespace {

constexpr std::uint32_t kTextBufferSize = 4096;

// The record's text by the layout, without the buffer's limit.
std::optional<std::string_view> RecordText(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || data[0] > 127) {
        return std::nullopt;
    }
    const std::size_t start = 2u + data[0];
    if (start >= size) {
        return std::nullopt;
    }
    std::string_view rest(reinterpret_cast<const char*>(data) + start, size - start);
    const std::size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) {
        return std::nullopt;
    }
    return rest.substr(0, nul);
}

// Reads into an exactly sized buffer filled with a marker and checks the
// outcome against the expected text.
void ReadInto(std::uint32_t bufferSize, std::optional<std::string_view> expected) {
    std::vector<char> buffer(bufferSize, '\x5A');
    const std::int32_t result =
        ReadDriverCommandLine(fuzz::kDriverProcess, buffer.data(), bufferSize);
    FUZZ_CHECK(fuzz::MappingsBalanced());
    const bool fits = expected && expected->size() < bufferSize;
    if (!fits) {
        FUZZ_CHECK(result == -2);
        return;
    }
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(std::string_view(buffer.data(), expected->size()) == *expected);
    FUZZ_CHECK(buffer[expected->size()] == '\0');
}

// A record written by the platform, read back by the launcher.
void RoundTrip(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view path = input.substr(0, nul);
    std::string_view line;
    if (nul != std::string_view::npos) {
        line = input.substr(nul + 1);
        line = line.substr(0, line.find('\0'));
    }
    const std::string record = parvane::platform::detail::BuildRecord(path, line);
    fuzz::SetRecordObject(reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
    FUZZ_CHECK(RecordText(reinterpret_cast<const std::uint8_t*>(record.data()), record.size()) ==
               line);
    ReadInto(kTextBufferSize, line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::SetRecordObject(data, size);
    const std::optional<std::string_view> expected = RecordText(data, size);
    const std::optional<std::string> platformText = parvane::platform::detail::RecordCommandLine(
        std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(platformText.has_value() == expected.has_value());
    FUZZ_CHECK(!expected || *platformText == *expected);
    ReadInto(kTextBufferSize, expected);
    if (expected) {
        // Just big enough, and one byte short.
        const auto needed = static_cast<std::uint32_t>(expected->size() + 1);
        ReadInto(needed, expected);
        ReadInto(needed - 1, expected);
    }
    RoundTrip(data, size);
    return 0;
}
