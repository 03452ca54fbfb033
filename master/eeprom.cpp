#include "master/eeprom.h"

#include <algorithm>
#include <cstring>

#include "ecat/byte_order.h"
#include "ecat/registers.h"

namespace parvane::master {
namespace {

using Clock = std::chrono::steady_clock;

// What a poll reads from 0x0502: control/status (2), address (4) and the
// data register (8; an ESC that reads 4 bytes fills only the first 4).
constexpr std::uint16_t kPollSize = 14;

// The 6 bytes written at 0x0502 to start a read: command, then the address.
std::array<std::uint8_t, 6> ReadCommand(std::uint32_t word) {
    std::array<std::uint8_t, 6> command{};
    ecat::Put16(command.data(), ecat::sii_control::kRead);
    ecat::Put32(command.data() + 2, word);
    return command;
}

Error FromExchange(const Error& error) {
    return Error{error == Errc::kLinkDown ? Errc::kLinkDown : Errc::kNoReply};
}

using Results = std::vector<std::expected<EepromWords, Error>>;

struct Slot {
    std::array<std::uint8_t, kPollSize> poll{};
    std::array<std::uint8_t, 6> command{};
    std::array<std::uint8_t, 2> clear{};
    unsigned tries = 1;
    bool pending = true;
    bool reissue = false;
    bool clearFirst = false;
};

// Ends the wait of every slave still waiting with `code`.
void FailPending(std::vector<Slot>& slots, Results& results, Errc code) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].pending) {
            results[i] = std::unexpected(Error{code});
            slots[i].pending = false;
        }
    }
}

// Sends the command again to the slaves that did not take theirs; false
// when the link went down.
bool Reissue(Exchange& exchange, std::span<const std::uint16_t> stations, std::uint32_t word,
             std::vector<Slot>& slots, std::vector<DatagramRequest>& requests) {
    requests.clear();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = slots[i];
        if (!slot.pending || !slot.reissue)
            continue;
        const std::uint32_t control = ecat::MakeAddress(stations[i], ecat::reg::kSiiControl);
        if (slot.clearFirst) {
            slot.clear = {0, 0};
            requests.push_back({ecat::Command::kFpwr, control, slot.clear});
        }
        slot.command = ReadCommand(word);
        requests.push_back({ecat::Command::kFpwr, control, slot.command});
        slot.reissue = slot.clearFirst = false;
        ++slot.tries;
    }
    if (requests.empty())
        return true;
    auto sent = exchange.Run(requests);
    return sent || sent.error() != Errc::kLinkDown;
}

// What the slave's interface shows in its poll: the words, a failure, or
// nothing yet (the slot stays pending and is polled again or reissued).
void Judge(Slot& slot, std::uint32_t word, const EepromOptions& options,
           std::expected<EepromWords, Error>& result) {
    const std::uint16_t status = ecat::Get16(slot.poll.data());
    const std::uint32_t address = ecat::Get32(slot.poll.data() + 2);
    if ((status & ecat::sii_control::kBusy) != 0 || (status & ecat::sii_control::kCommandMask) != 0)
        return;
    const bool refused = (status & ecat::sii_control::kAckError) != 0;
    if (refused || address != word) {
        // Not acknowledged, or the command never reached the interface (it
        // was busy): try again while tries are left.
        if (slot.tries >= options.tries) {
            result = std::unexpected(Error{refused ? Errc::kAckError : Errc::kBusyTimeout});
            slot.pending = false;
        } else {
            slot.reissue = true;
            slot.clearFirst = refused;
        }
        return;
    }
    EepromWords words;
    words.size = (status & ecat::sii_control::kReadSize8) != 0 ? 8 : 4;
    std::copy_n(slot.poll.begin() + 6, words.size, words.bytes.begin());
    result = words;
    slot.pending = false;
}

// Polls the slaves until each has its words, fails, or the deadline passes.
// The commands were sent already (tries = 1), by broadcast or one by one.
void PollUntilDone(Exchange& exchange, std::span<const std::uint16_t> stations, std::uint32_t word,
                   std::vector<Slot>& slots, Results& results, Clock::time_point deadline,
                   const EepromOptions& options) {
    std::vector<DatagramRequest> requests;
    std::vector<std::size_t> owners;
    for (;;) {
        if (!Reissue(exchange, stations, word, slots, requests)) {
            FailPending(slots, results, Errc::kLinkDown);
            return;
        }
        requests.clear();
        owners.clear();
        for (std::size_t i = 0; i < slots.size(); ++i) {
            if (!slots[i].pending)
                continue;
            requests.push_back({ecat::Command::kFprd,
                                ecat::MakeAddress(stations[i], ecat::reg::kSiiControl),
                                slots[i].poll});
            owners.push_back(i);
        }
        if (requests.empty())
            return;
        auto polled = exchange.Run(requests);
        if (!polled && polled.error() == Errc::kLinkDown) {
            FailPending(slots, results, Errc::kLinkDown);
            return;
        }
        for (std::size_t r = 0; r < requests.size(); ++r) {
            const std::size_t i = owners[r];
            if (!requests[r].answered)
                continue;  // lost: poll again
            if (requests[r].wkc != 1) {
                results[i] = std::unexpected(Error{Errc::kNoSlave});
                slots[i].pending = false;
                continue;
            }
            Judge(slots[i], word, options, results[i]);
        }
        if (std::none_of(slots.begin(), slots.end(), [](const Slot& s) { return s.pending; }))
            return;
        if (Clock::now() >= deadline) {
            FailPending(slots, results, Errc::kBusyTimeout);
            return;
        }
    }
}

}  // namespace

std::expected<EepromWords, Error> ReadEepromWords(Exchange& exchange, std::uint16_t station,
                                                  std::uint32_t word,
                                                  const EepromOptions& options) {
    // One frame takes the EEPROM back from the slave's PDI, reads whether
    // the interface is idle, starts the read and polls once: an EEPROM that
    // is quick is read in that frame.
    std::array<std::uint8_t, 1> toMaster{0};
    std::array<std::uint8_t, 2> before{};
    std::array<std::uint8_t, 6> command = ReadCommand(word);
    std::vector<Slot> slots(1);
    std::array<DatagramRequest, 4> start{
        DatagramRequest{ecat::Command::kFpwr, ecat::MakeAddress(station, ecat::reg::kSiiConfig),
                        toMaster},
        DatagramRequest{ecat::Command::kFprd, ecat::MakeAddress(station, ecat::reg::kSiiControl),
                        before},
        DatagramRequest{ecat::Command::kFpwr, ecat::MakeAddress(station, ecat::reg::kSiiControl),
                        command},
        DatagramRequest{ecat::Command::kFprd, ecat::MakeAddress(station, ecat::reg::kSiiControl),
                        slots[0].poll}};
    auto sent = exchange.Run(start);
    if (!sent)
        return std::unexpected(FromExchange(sent.error()));
    if (start[0].wkc != 1)
        return std::unexpected(Error{Errc::kNoSlave});

    const std::uint16_t stations[1] = {station};
    Results results(1, std::unexpected(Error{Errc::kNoReply}));
    if ((ecat::Get16(before.data()) & ecat::sii_control::kBusy) != 0) {
        // An earlier read still runs (one that ran past its bound), and the
        // interface ignored the command: wait until it is idle, then read,
        // so that this read's outcome does not depend on the earlier one's.
        const auto idleBy = Clock::now() + options.idleTimeout;
        for (;;) {
            auto polled = exchange.Transact(
                ecat::Command::kFprd, ecat::MakeAddress(station, ecat::reg::kSiiControl), before);
            if (!polled)
                return std::unexpected(FromExchange(polled.error()));
            if (*polled != 1)
                return std::unexpected(Error{Errc::kNoSlave});
            if ((ecat::Get16(before.data()) & ecat::sii_control::kBusy) == 0)
                break;
            if (Clock::now() >= idleBy)
                return std::unexpected(Error{Errc::kBusyTimeout});
        }
        slots[0].tries = 0;
        slots[0].reissue = true;
        PollUntilDone(exchange, stations, word, slots, results, Clock::now() + options.timeout,
                      options);
        return results[0];
    }

    const std::uint16_t status = ecat::Get16(slots[0].poll.data());
    const bool done =
        start[3].wkc == 1 && (status & ecat::sii_control::kBusy) == 0 &&
        (status & (ecat::sii_control::kCommandMask | ecat::sii_control::kAckError)) == 0 &&
        ecat::Get32(slots[0].poll.data() + 2) == word;
    if (done) {
        EepromWords words;
        words.size = (status & ecat::sii_control::kReadSize8) != 0 ? 8 : 4;
        std::copy_n(slots[0].poll.begin() + 6, words.size, words.bytes.begin());
        return words;
    }
    PollUntilDone(exchange, stations, word, slots, results, Clock::now() + options.timeout,
                  options);
    return results[0];
}

void ReadEepromWordsOfAll(Exchange& exchange, std::span<const std::uint16_t> stations,
                          std::uint32_t word, Results& results, const EepromOptions& options) {
    results.assign(stations.size(), std::unexpected(Error{Errc::kNoReply}));
    if (stations.empty())
        return;
    std::array<std::uint8_t, 6> command = ReadCommand(word);
    auto sent = exchange.Transact(ecat::Command::kBwr, ecat::MakeAddress(0, ecat::reg::kSiiControl),
                                  command);
    if (!sent) {
        results.assign(stations.size(), std::unexpected(FromExchange(sent.error())));
        return;
    }
    std::vector<Slot> slots(stations.size());
    const auto deadline =
        Clock::now() + options.timeout + options.perSlave * static_cast<long>(stations.size());
    PollUntilDone(exchange, stations, word, slots, results, deadline, options);
}

}  // namespace parvane::master
