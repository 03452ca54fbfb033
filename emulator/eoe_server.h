// The EoE server of an emulated slave: its IP parameters, set and read by
// the master. A set-IP request of 62 bytes or more carries every field at
// its fixed place, a shorter one only the fields its flags include, packed;
// a get-IP response uses the layout of the last set-IP request. Address
// filters are not supported (result 0x0401); Ethernet fragments go nowhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ecat/mailbox.h"

namespace parvane::emulator {

class EoeServer {
  public:
    // The EoE message (payload after the mailbox header) that answers one
    // request; none for a fragment, or with `malformed` set when the request
    // is shorter than an EoE header. A type no request has gets a set-IP
    // response with result 0x0002 (unsupported frame type).
    std::optional<std::vector<std::uint8_t>> Handle(std::span<const std::uint8_t> request,
                                                    bool& malformed);

    const ecat::EoeIpParameters& parameters() const { return parameters_; }
    // Back in INIT: the parameters are forgotten.
    void Reset() { *this = EoeServer(); }

  private:
    ecat::EoeIpParameters parameters_;
    bool fixed_ = true;
};

}  // namespace parvane::emulator
