// A network held in a table, for tests of the driver's request handling
// without frames: slaves with identities and the highest state each
// reaches, 128-byte EEPROMs holding vendor ID, product code and revision
// number at bytes 16, 20 and 24, and state changes that take no time.
#pragma once

#include <algorithm>
#include <vector>

#include "driver/network.h"

namespace parvane::driver::testing {

struct TableSlave {
    SlaveIdentity identity;
    AlState maxState = AlState::kOp;
};

class TableNetwork : public Network {
  public:
    static constexpr std::uint16_t kEepromBytes = 128;

    explicit TableNetwork(std::vector<TableSlave> slaves) : slaves_(std::move(slaves)) {}

    std::uint16_t OnlineCount() const override {
        return static_cast<std::uint16_t>(slaves_.size());
    }

    std::expected<std::uint32_t, master::Error> ReadEeprom(std::uint16_t position,
                                                           std::uint16_t offset,
                                                           std::uint16_t count) const override {
        using master::Errc;
        if (count < 1 || count > 4)
            return std::unexpected(master::Error{Errc::kInvalidArgument});
        if (position >= slaves_.size())
            return std::unexpected(master::Error{Errc::kNoSlave});
        if (offset + count > kEepromBytes)
            return std::unexpected(master::Error{Errc::kOutsideEeprom});
        const SlaveIdentity& id = slaves_[position].identity;
        const std::uint32_t words[3] = {id.vendorId, id.productCode, id.revisionNo};
        std::uint32_t value = 0;
        for (std::uint16_t i = 0; i < count; ++i) {
            const unsigned at = offset + i;
            std::uint8_t byte = 0;
            if (at >= 16 && at < 28)
                byte = static_cast<std::uint8_t>(words[(at - 16) / 4] >> (8 * ((at - 16) % 4)));
            value |= static_cast<std::uint32_t>(byte) << (8 * i);
        }
        return value;
    }

    void RequestState(AlState state) override {
        requested_ = state;
        const bool reachable =
            state == AlState::kInit ||
            std::all_of(slaves_.begin(), slaves_.end(), [state](const TableSlave& s) {
                return ecat::ToWire(s.maxState) >= ecat::ToWire(state);
            });
        if (reachable)
            current_ = state;
    }
    AlState RequestedState() const override { return requested_; }
    AlState CurrentState() override { return current_; }

  private:
    std::vector<TableSlave> slaves_;
    AlState requested_ = AlState::kInit;
    AlState current_ = AlState::kInit;
};

}  // namespace parvane::driver::testing
