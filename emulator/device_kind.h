// What kind of device sits behind an emulated ESC decides what the AL state
// machine checks: a device with a microcontroller refuses PREOP, SAFEOP and
// OP while the master has not configured what it needs, and leaves OP when
// its outputs stop; with device emulation the ESC follows each request on
// its own and refuses nothing for its sync managers. A kind is stateless; it
// sees the slave through a `DeviceView` handed in with each check.
#pragma once

#include <cstdint>

#include "emulator/esc_registers.h"
#include "emulator/object_dictionary.h"
#include "emulator/slave_model.h"

namespace parvane::emulator {

struct DeviceView {
    const SlaveModel& model;
    EscRegisters& esc;
    const ObjectDictionary* dictionary;  // as the master has written it; null without CoE
};

class DeviceKind {
  public:
    virtual ~DeviceKind() = default;

    // True when the ESC copies each request into AL status itself, bits as
    // written: only requests that skip a state are refused, and none of the
    // checks below is made.
    virtual bool EscFollowsRequests() const = 0;
    // The AL status code refusing INIT -> PREOP, PREOP -> SAFEOP and
    // SAFEOP -> OP; 0 lets the change begin.
    virtual std::uint16_t CheckPreOp(const DeviceView& view) const = 0;
    virtual std::uint16_t CheckSafeOp(const DeviceView& view) const = 0;
    virtual std::uint16_t CheckOp(const DeviceView& view) const = 0;
    // Whether SAFEOP -> OP completes only once outputs have arrived (refused
    // with the watchdog code when none come within the SM watchdog time).
    virtual bool OpAwaitsOutputs() const = 0;
    // In OP, at each access: the code that takes the device back to SAFEOP
    // with the error flag, 0 to stay in OP.
    virtual std::uint16_t InOp(const DeviceView& view, std::uint64_t now) const = 0;
};

// A device with a microcontroller: it runs the AL state machine and checks
// the configuration the master wrote before each step up (SM0/SM1 as the
// EEPROM says; before SAFEOP each process-data SM as long as the PDOs its
// assignment object (0x1C10 + SM number) names map as the dictionary
// stands, and an FMMU on each), waits for outputs before OP, and leaves OP
// when the SM watchdog expires. A DC-synchronous one checks its SYNC0 as
// well (see dc_sync_device.h).
class MicrocontrollerDevice : public DeviceKind {
  public:
    bool EscFollowsRequests() const override { return false; }
    std::uint16_t CheckPreOp(const DeviceView& view) const override;
    std::uint16_t CheckSafeOp(const DeviceView& view) const override;
    std::uint16_t CheckOp(const DeviceView& view) const override;
    bool OpAwaitsOutputs() const override { return true; }
    std::uint16_t InOp(const DeviceView& view, std::uint64_t now) const override;
};

// Device emulation: the ESC alone, copying each request into AL status
// (the kind of a slave without a mailbox). The ESC still refuses a request
// that skips a state, and drops OP to SAFEOP with the error flag when the SM
// watchdog expires, as nothing behind it keeps outputs safe.
class EscOnlyDevice final : public DeviceKind {
  public:
    bool EscFollowsRequests() const override { return true; }
    std::uint16_t CheckPreOp(const DeviceView&) const override { return 0; }
    std::uint16_t CheckSafeOp(const DeviceView&) const override { return 0; }
    std::uint16_t CheckOp(const DeviceView&) const override { return 0; }
    bool OpAwaitsOutputs() const override { return false; }
    std::uint16_t InOp(const DeviceView& view, std::uint64_t now) const override;
};

// The kind of device a model describes.
const DeviceKind& KindOf(const SlaveModel& model);

}  // namespace parvane::emulator
