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

    // True when the ESC copies each request into AL status itself: no
    // sequence of states is kept and none of the checks below is made.
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
// EEPROM says; the process-data SMs, an FMMU on each and the CoE objects
// the configuration downloads), waits for outputs before OP, and leaves OP
// when the SM watchdog expires.
class MicrocontrollerDevice : public DeviceKind {
  public:
    bool EscFollowsRequests() const override { return false; }
    std::uint16_t CheckPreOp(const DeviceView& view) const override;
    std::uint16_t CheckSafeOp(const DeviceView& view) const override;
    std::uint16_t CheckOp(const DeviceView&) const override { return 0; }
    bool OpAwaitsOutputs() const override { return true; }
    std::uint16_t InOp(const DeviceView& view, std::uint64_t now) const override;
};

// Device emulation: the ESC alone, copying each request into AL status.
class EscOnlyDevice final : public DeviceKind {
  public:
    bool EscFollowsRequests() const override { return true; }
    std::uint16_t CheckPreOp(const DeviceView&) const override { return 0; }
    std::uint16_t CheckSafeOp(const DeviceView&) const override { return 0; }
    std::uint16_t CheckOp(const DeviceView&) const override { return 0; }
    bool OpAwaitsOutputs() const override { return false; }
    std::uint16_t InOp(const DeviceView&, std::uint64_t) const override { return 0; }
};

// The kind of device a model describes.
const DeviceKind& KindOf(const SlaveModel& model);

}  // namespace parvane::emulator
