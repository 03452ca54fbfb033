// How the ENI layer reports a refusal: the sentence to show, and where in the
// input the fault lies when that is known.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace parvane::eni {

// Identity elements that a file lacks (they read as 0): the first few
// described, all of them counted.
struct Notes {
    std::vector<std::string> lines;
    std::size_t missingElements = 0;
};

struct Error {
    std::string message;   // the whole sentence, naming the file or element
    std::size_t line = 0;  // line of the input, counted from 1; 0 when not known
    std::string element;   // path of the offending element, e.g. "Config/Slave[2]/Info/VendorId"
    Notes notes;           // what was noted before the refusal
};

}  // namespace parvane::eni
