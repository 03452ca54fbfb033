// A small program on the platform layer that runs only the driver launcher:
// `launcher_probe [ENI path]` calls StartMasterDriver with "-eni=" and the
// path (or the empty text) and prints the status it returned, so that the
// launcher can be tried with real processes apart from the bus check.
#include <cstdio>

#include "launcher/start_master_driver.h"
#include "platform/rt_services.h"

namespace {

int ProbeEntry(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    static char eniArgument[4096];
    if (argc > 1 && argv[1][0] != '\0') {
        std::snprintf(eniArgument, sizeof eniArgument, "-eni=%s", argv[1]);
    }
    std::uint32_t status = StartMasterDriver(eniArgument);
    std::printf("launcher status %u\n", static_cast<unsigned>(status));
    return status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, ProbeEntry);
}
