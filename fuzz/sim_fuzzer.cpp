// The reader of the network description fed any bytes as the file's
// contents, the reader the driver and the emulator program share.
//
// Invariants: accepted without an error or refused with one that names what
// it concerns; the limits the reader promises hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "emulator/description.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace parvane;
    const auto read =
        emulator::ReadDescriptionText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!read) {
        FUZZ_CHECK(!read.error().message.empty());
        FUZZ_CHECK(read.error().message.starts_with(read.error().where));
        return 0;
    }
    const emulator::Description& description = *read;
    FUZZ_CHECK(description.maxOpenings <= emulator::kMaxOpeningsLimit);
    FUZZ_CHECK(description.transitionMs <= 3600000);
    FUZZ_CHECK(!description.slaves || description.slaves->size() <= 0xFFFF);
    for (const emulator::DriverFault& fault : description.faults) {
        FUZZ_CHECK(!fault.state || ecat::IsNetworkState(ecat::ToWire(*fault.state)));
        FUZZ_CHECK(!fault.offset || fault.op == emulator::DriverOperation::kReadSlaveEeprom);
    }
    return 0;
}
