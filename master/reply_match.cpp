#include "master/reply_match.h"

namespace parvane::master {
namespace {

// Slaves count the ADP of these commands up as the frame passes, so only
// the register offset (ADO) must come back unchanged.
bool AdpChanges(ecat::Command command) {
    switch (ecat::AddressingOf(command)) {
        case ecat::Addressing::kPosition:
        case ecat::Addressing::kBroadcast:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool MatchReply(const ecat::ParsedFrame& sent, std::span<std::uint8_t> received,
                ecat::ParsedFrame& reply) {
    if (!ecat::ReadFrame(received, reply))
        return false;
    if (reply.count != sent.count)
        return false;
    for (std::size_t i = 0; i < sent.count; ++i) {
        const ecat::DatagramView& out = sent.views[i];
        const ecat::DatagramView& in = reply.views[i];
        if (in.command() != out.command() || in.index() != out.index() ||
            in.length() != out.length())
            return false;
        if (AdpChanges(out.command()) ? in.ado() != out.ado() : in.address() != out.address())
            return false;
    }
    return true;
}

}  // namespace parvane::master
