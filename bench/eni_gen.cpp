// Writes a generated ENI to stdout: eni_gen COUNT [plain|export|dc]. The
// wire benchmark serves it with the emulator program and drives it with the
// driver; "export" is the shape of a configurator's export of a long line
// of devices, "dc" a plain line whose slaves have a DC element with a 1 ms
// SYNC0 (bench/eni_text.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/eni_text.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: eni_gen COUNT [plain|export|dc]\n");
        return 2;
    }
    const auto count = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
    const char* shape = argc > 2 ? argv[2] : "";
    const std::string text = std::strcmp(shape, "export") == 0 ? benchdata::ExportEniText(count)
                             : std::strcmp(shape, "dc") == 0
                                 ? benchdata::DcEniText(count, 1'000'000)
                                 : benchdata::EniText(count, std::strcmp(shape, "plain") != 0);
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
