#include "check/report_lines.h"

#include <cstdio>

void PrintMasterCallError(std::uint16_t status) {
    std::printf(kMasterCallErrorLine, static_cast<unsigned>(status));
}
