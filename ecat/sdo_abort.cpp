#include "ecat/mailbox.h"

namespace parvane::ecat {

const char* SdoAbortText(std::uint32_t code) {
    switch (code) {
        case 0x05030000:
            return "toggle bit not changed";
        case 0x05040000:
            return "SDO protocol timeout";
        case 0x05040001:
            return "client/server command specifier not valid or unknown";
        case 0x05040005:
            return "out of memory";
        case 0x06010000:
            return "unsupported access to an object";
        case 0x06010001:
            return "attempt to read a write-only object";
        case 0x06010002:
            return "attempt to write a read-only object";
        case 0x06010003:
            return "subindex cannot be written, SI0 must be 0 for write access";
        case 0x06010004:
            return "complete access not supported for this object";
        case 0x06020000:
            return "object does not exist in the object dictionary";
        case 0x06040041:
            return "object cannot be mapped to the PDO";
        case 0x06040042:
            return "number and length of the objects to be mapped would exceed the PDO length";
        case 0x06040043:
            return "general parameter incompatibility";
        case 0x06040047:
            return "general internal incompatibility in the device";
        case 0x06060000:
            return "access failed due to a hardware error";
        case 0x06070010:
            return "data type does not match, length of service parameter does not match";
        case 0x06070012:
            return "data type does not match, length of service parameter too high";
        case 0x06070013:
            return "data type does not match, length of service parameter too low";
        case 0x06090011:
            return "subindex does not exist";
        case 0x06090030:
            return "value range of parameter exceeded";
        case 0x06090031:
            return "value of parameter written too high";
        case 0x06090032:
            return "value of parameter written too low";
        case 0x06090036:
            return "maximum value is less than minimum value";
        case 0x08000000:
            return "general error";
        case 0x08000020:
            return "data cannot be transferred or stored to the application";
        case 0x08000021:
            return "data cannot be transferred or stored because of local control";
        case 0x08000022:
            return "data cannot be transferred or stored in the present device state";
        case 0x08000023:
            return "object dictionary dynamic generation fails or no object dictionary is present";
    }
    return "unknown SDO abort code";
}

}  // namespace parvane::ecat
