// A small stand-in for a line of slaves, for the master's own tests: each
// slave has the registers bring-up and EEPROM reads touch (station address,
// the SII interface with an EEPROM of 16-bit words) and answers the
// position, station and broadcast reads and writes as the EtherCAT tables
// say. Faults on demand: an EEPROM interface that stays busy for some polls,
// refuses the first reads, reads 8 bytes at a time, or ignores commands.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ecat/byte_order.h"
#include "ecat/registers.h"
#include "tests/support/scripted_link.h"

namespace parvane::master::testing {

struct FakeSlave {
    std::array<std::uint8_t, 0x1000> memory{};
    std::vector<std::uint16_t> eeprom = std::vector<std::uint16_t>(64, 0);
    bool reads8 = false;      // the ESC reads 8 bytes at a time
    int busyPolls = 0;        // status reads that show busy after each command
    int refusals = 0;         // commands answered with the acknowledge error first
    int ignoredCommands = 0;  // commands dropped as if the interface were busy
    int busyLeft = 0;

    std::uint16_t station() const { return ecat::Get16(&memory[ecat::reg::kStationAddress]); }

    void SetIdentity(std::uint32_t vendor, std::uint32_t product, std::uint32_t revision) {
        eeprom[8] = static_cast<std::uint16_t>(vendor);
        eeprom[9] = static_cast<std::uint16_t>(vendor >> 16);
        eeprom[10] = static_cast<std::uint16_t>(product);
        eeprom[11] = static_cast<std::uint16_t>(product >> 16);
        eeprom[12] = static_cast<std::uint16_t>(revision);
        eeprom[13] = static_cast<std::uint16_t>(revision >> 16);
    }

    // A write reached the SII control register: run the command it holds.
    void SiiCommand() {
        std::uint8_t* control = &memory[ecat::reg::kSiiControl];
        const std::uint16_t command = ecat::Get16(control) & ecat::sii_control::kCommandMask;
        std::uint16_t status = reads8 ? ecat::sii_control::kReadSize8 : 0;
        if (command == 0) {
            ecat::Put16(control, status);  // clears the error bits
            return;
        }
        if (refusals > 0) {
            --refusals;
            ecat::Put16(control, status | ecat::sii_control::kAckError);
            return;
        }
        const std::uint32_t word = ecat::Get32(&memory[ecat::reg::kSiiAddress]);
        for (unsigned i = 0; i < (reads8 ? 4u : 2u); ++i) {
            const std::uint16_t value = word + i < eeprom.size() ? eeprom[word + i] : 0xFFFF;
            ecat::Put16(&memory[ecat::reg::kSiiData + 2 * i], value);
        }
        ecat::Put16(control, status);
        busyLeft = busyPolls;
    }

    bool Read(std::uint16_t ado, std::span<std::uint8_t> data, bool merge) {
        if (ado + data.size() > memory.size())
            return false;
        const bool siiStatus =
            ado <= ecat::reg::kSiiControl + 1 && ado + data.size() > ecat::reg::kSiiControl;
        for (std::size_t i = 0; i < data.size(); ++i) {
            std::uint8_t value = memory[ado + i];
            if (siiStatus && busyLeft > 0 && ado + i == ecat::reg::kSiiControl + 1)
                value |= 0x80;
            data[i] = merge ? data[i] | value : value;
        }
        if (siiStatus && busyLeft > 0)
            --busyLeft;
        return true;
    }

    bool Write(std::uint16_t ado, std::span<const std::uint8_t> data) {
        if (ado + data.size() > memory.size())
            return false;
        const bool sii = ado == ecat::reg::kSiiControl;
        if (sii && (busyLeft > 0 || ignoredCommands > 0)) {
            if (ignoredCommands > 0)
                --ignoredCommands;
            return true;  // a busy interface takes no command
        }
        std::memcpy(&memory[ado], data.data(), data.size());
        if (sii)
            SiiCommand();
        return true;
    }
};

// A line of FakeSlaves; a silent one answers nothing.
class FakeSegment : public testsupport::ScriptedLink {
  public:
    explicit FakeSegment(std::size_t count)
        : ScriptedLink(testsupport::EachDatagram([this](ecat::DatagramView& view) {
              if (silent)
                  return false;
              for (FakeSlave& slave : slaves)
                  Pass(slave, view);
              return true;
          })),
          slaves(count) {}

    std::vector<FakeSlave> slaves;
    bool silent = false;

  private:
    static void Pass(FakeSlave& slave, ecat::DatagramView& view) {
        const auto command = static_cast<ecat::Command>(view.command());
        bool acted = false;
        switch (command) {
            case ecat::Command::kAprd:
            case ecat::Command::kApwr:
                if (view.adp() == 0) {
                    acted = command == ecat::Command::kAprd
                                ? slave.Read(view.ado(), view.data(), false)
                                : slave.Write(view.ado(), view.data());
                }
                view.setAdp(static_cast<std::uint16_t>(view.adp() + 1));
                break;
            case ecat::Command::kFprd:
            case ecat::Command::kFpwr:
                if (view.adp() == slave.station()) {
                    acted = command == ecat::Command::kFprd
                                ? slave.Read(view.ado(), view.data(), false)
                                : slave.Write(view.ado(), view.data());
                }
                break;
            case ecat::Command::kBrd:
                acted = slave.Read(view.ado(), view.data(), true);
                view.setAdp(static_cast<std::uint16_t>(view.adp() + 1));
                break;
            case ecat::Command::kBwr:
                acted = slave.Write(view.ado(), view.data());
                view.setAdp(static_cast<std::uint16_t>(view.adp() + 1));
                break;
            default:
                break;
        }
        if (acted)
            view.setWkc(static_cast<std::uint16_t>(view.wkc() + 1));
    }
};

}  // namespace parvane::master::testing
