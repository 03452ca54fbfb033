// A slave at station 1001 whose SM1 mailbox (48 bytes) holds the fuzz
// input's consecutive windows, one per read, for the fuzz targets of the
// master's mailbox clients.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "ecat/frame.h"
#include "ecat/registers.h"
#include "master/mailbox_transport.h"
#include "tests/support/scripted_link.h"

namespace fuzzsupport {

namespace ecat = parvane::ecat;

constexpr std::uint16_t kStation = 1001;
constexpr parvane::master::MailboxWindows kWindows{kStation, 0x1000, 48, 0x1080, 48};

// A slave whose SM1 reads take the next window of input; everything else
// is acknowledged with working counter 1.
inline testsupport::ScriptedLink MailboxLink(std::span<const std::uint8_t> input) {
    return testsupport::ScriptedLink(
        testsupport::EachDatagram([input](ecat::DatagramView& d) mutable {
            auto data = d.data();
            if (d.adp() != kStation)
                return true;
            if (d.command() == ecat::Command::kFprd && d.ado() == kWindows.recvStart) {
                if (input.empty())
                    return true;  // empty mailbox: working counter 0
                const std::size_t n = std::min(input.size(), data.size());
                std::fill(data.begin(), data.end(), 0);
                std::copy_n(input.begin(), n, data.begin());
                input = input.subspan(n);
            } else if (d.command() == ecat::Command::kFprd && d.ado() == ecat::reg::SmStatus(1) &&
                       !data.empty()) {
                data[0] = input.empty() ? 0 : ecat::SmEntry::kStatusMailboxFull;
            } else if (d.command() == ecat::Command::kFprd) {
                std::fill(data.begin(), data.end(), 0);
            }
            d.setWkc(1);
            return true;
        }));
}

}  // namespace fuzzsupport
