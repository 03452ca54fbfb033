// The comparison as a JSON result file, in the style of the tool's: the
// program and version, what was compared, one object per position, the
// summary and the exit status.
#pragma once

#include <string>

#include "scan/comparison.h"

namespace parvane::scan {

struct ComparedWith {
    std::string eni;        // the ENI compared with
    std::string interface;  // the interface scanned; empty for emulated slaves
    std::string emulated;   // the ENI the emulated slaves were built from
};

std::string ComparisonJson(const Comparison& comparison, const ComparedWith& with, int exitStatus);

}  // namespace parvane::scan
