// A slave's identity: what an ENI defines for it and what its EEPROM holds.
#pragma once

#include <cstdint>

namespace parvane::eni {

struct SlaveIdentity {
    std::uint32_t vendorId = 0;
    std::uint32_t productCode = 0;
    std::uint32_t revisionNo = 0;

    friend bool operator==(const SlaveIdentity&, const SlaveIdentity&) = default;
};

}  // namespace parvane::eni
