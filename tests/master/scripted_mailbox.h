// One slave's mailbox for the master's mailbox tests, answered by a script
// through a scripted link: SM0 writes, SM1's full flag and reads (some of
// them lost on the way back), and the repeat request.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "ecat/frame.h"
#include "ecat/registers.h"
#include "master/mailbox_transport.h"

namespace parvane::master {

using MailboxBytes = std::vector<std::uint8_t>;

// One slave's mailbox at station 1001: SM0 at 0x1000 and SM1 at 0x1080, 32
// bytes each unless given. A request written into SM0 is answered by `answer` (each
// returned message is posted in turn, the next once the previous was read).
class ScriptedMailbox {
  public:
    static constexpr std::uint16_t kStation = 1001;
    static constexpr MailboxWindows kWindows{kStation, 0x1000, 32, 0x1080, 32};

    explicit ScriptedMailbox(std::uint16_t size = 32)
        : windows{kStation, 0x1000, size, 0x1080, size}, last_(size, 0) {}

    MailboxWindows windows;

    std::function<std::vector<MailboxBytes>(const MailboxBytes& request)> answer;
    int loseReads = 0;  // SM1 reads whose reply frame is lost (the mailbox empties anyway)
    std::vector<MailboxBytes> requests;
    int repeats = 0;

    bool Handle(ecat::DatagramView& d) {
        if (d.adp() != kStation)
            return true;
        const auto command = static_cast<ecat::Command>(d.command());
        const std::uint16_t ado = d.ado();
        auto data = d.data();
        if (command == ecat::Command::kFpwr && ado == windows.sendStart) {
            requests.emplace_back(data.begin(), data.end());
            for (MailboxBytes& reply : answer(requests.back()))
                queue_.push_back(std::move(reply));
            d.setWkc(1);
        } else if (command == ecat::Command::kFprd && ado == ecat::reg::SmStatus(1)) {
            data[0] = queue_.empty() ? 0 : ecat::SmEntry::kStatusMailboxFull;
            d.setWkc(1);
        } else if (command == ecat::Command::kFprd && ado == ecat::reg::SmStatus(0)) {
            data[0] = 0;
            d.setWkc(1);
        } else if (command == ecat::Command::kFprd && ado == windows.recvStart) {
            if (queue_.empty()) {
                d.setWkc(0);
                return true;
            }
            last_ = queue_.front();
            queue_.pop_front();
            std::copy(last_.begin(), last_.begin() + data.size(), data.begin());
            d.setWkc(1);
            if (loseReads > 0) {
                --loseReads;
                return false;
            }
        } else if (command == ecat::Command::kFprd && ado == ecat::reg::SmActivate(1)) {
            data[0] = activate_;
            d.setWkc(1);
        } else if (command == ecat::Command::kFpwr && ado == ecat::reg::SmActivate(1)) {
            if (((data[0] ^ activate_) & ecat::SmEntry::kActivateRepeat) != 0) {
                ++repeats;
                queue_.push_front(last_);  // post the last reply again
            }
            activate_ = data[0];
            d.setWkc(1);
        } else if (command == ecat::Command::kFprd && ado == ecat::reg::SmPdiControl(1)) {
            data[0] = (activate_ & ecat::SmEntry::kActivateRepeat) != 0
                          ? ecat::SmEntry::kPdiRepeatAck
                          : 0;
            d.setWkc(1);
        }
        return true;
    }

  private:
    std::deque<MailboxBytes> queue_;
    MailboxBytes last_;
    std::uint8_t activate_ = ecat::SmEntry::kActivateEnable;
};

}  // namespace parvane::master
