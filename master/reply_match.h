// Whether a received frame is the answer to a frame the master sent: the
// same datagrams in the same order, each with the same command, index and
// data length, and the same address except where slaves change it (the ADP
// of position and broadcast commands counts up as the frame passes). Any
// other frame, however well formed, is not a reply.
#pragma once

#include <cstdint>
#include <span>

#include "ecat/frame.h"

namespace parvane::master {

// `sent` is a frame the master built itself; `received` is whatever came
// back, checked before anything in it is read. On true, `reply` holds the
// received datagrams in the order of the sent ones.
bool MatchReply(const ecat::ParsedFrame& sent, std::span<std::uint8_t> received,
                ecat::ParsedFrame& reply);

}  // namespace parvane::master
