// Writes a generated ENI to stdout: eni_gen COUNT [plain]. The wire
// benchmark serves it with the emulator program and drives it with the driver.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/eni_text.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: eni_gen COUNT [plain]\n");
        return 2;
    }
    const auto count = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
    const bool plain = argc > 2 && std::strcmp(argv[2], "plain") == 0;
    const std::string text = benchdata::EniText(count, !plain);
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
