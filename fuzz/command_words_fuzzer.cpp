// Words from outside the tool: its own argument vector for the help, version
// and ignored-word answers, and a running driver's command line (from its
// record) for the ENI it runs with. The input is split at NUL bytes; the
// first part is the driver's command line, the rest are the tool's words.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_words.h"
#include "fuzz/fuzz_check.h"
#include "launcher/driver_hints.h"
#include "platform/node_run.h"
#include "platform/rt_services.h"

// The platform services the hints could call; none of them is reached here.
void* AllocateRtMemory(std::uint32_t) {
    return nullptr;
}
bool FreeRtMemory(void*) {
    return false;
}
std::uint32_t GetRtNodeFolder(char*, std::uint32_t) {
    return 0;
}
std::uint32_t GetRtProcessLogFile(RTHANDLE, const char*, char*, std::uint32_t) {
    return 0;
}

namespace {

std::FILE* Sink() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (;;) {
        const std::size_t nul = rest.find('\0');
        parts.emplace_back(rest.substr(0, nul));
        if (nul == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(nul + 1);
    }

    // The ENI read from a command line is a part of it, quotes aside, and
    // always fits its buffer.
    NoteDriverEniFromCommandLine(parts[0].c_str());
    const std::string_view eni(DriverEniPath());
    FUZZ_CHECK(eni.size() < 4096);
    FUZZ_CHECK(parts[0].find(eni) != std::string::npos);

    std::string program = "parvane";
    std::vector<char*> argv{program.data()};
    for (std::size_t i = 1; i < parts.size(); ++i) {
        argv.push_back(parts[i].data());
    }
    argv.push_back(nullptr);
    const auto argc = static_cast<std::int32_t>(argv.size() - 1);

    // Their texts go nowhere; libFuzzer's own reports use the descriptor.
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    stdout = Sink();
    stderr = Sink();
    const bool answered = AnswerInfoWords(argc, argv.data(), "1.0.0.2");
    const std::uint32_t told = answered ? 0 : ReportIgnoredWords(argc, argv.data());
    stdout = out;
    stderr = err;
    FUZZ_CHECK(told <= static_cast<std::uint32_t>(argc > 0 ? argc - 1 : 0));
    return 0;
}
