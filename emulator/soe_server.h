// The SoE server of an emulated slave: the drives' IDNs that its
// configuration names, each with its value, written and read by the master
// (value element only; a write may come in fragments, a read longer than the
// mailbox goes out in fragments). An unknown IDN, another element or a bad
// length gets an SoE error reply with its code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/slave_model.h"

namespace parvane::emulator {

class SoeServer {
  public:
    explicit SoeServer(std::vector<SoeParameter> parameters);

    // The SoE messages (payloads after the mailbox header) that answer one
    // request, in order; none while a fragmented write is incomplete.
    // `replyCapacity` is the size of the slave's SM1 mailbox. Empty with
    // `malformed` set when the request is shorter than an SoE header.
    std::vector<std::vector<std::uint8_t>> Handle(std::span<const std::uint8_t> request,
                                                  std::size_t replyCapacity, bool& malformed);

    // The value of an IDN, or nullptr.
    const std::vector<std::uint8_t>* Value(std::uint8_t driveNo, std::uint16_t idn) const;
    // Back in INIT: the writes are forgotten.
    void Reset();

  private:
    SoeParameter* Find(std::uint8_t driveNo, std::uint16_t idn);

    std::vector<SoeParameter> initial_;
    std::vector<SoeParameter> parameters_;
    std::vector<std::uint8_t> fragments_;  // a fragmented write so far
};

}  // namespace parvane::emulator
