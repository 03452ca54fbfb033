#include "master/error.h"

namespace parvane::master {

const char* ErrorText(Errc code) {
    switch (code) {
        case Errc::kNoReply:
            return "no reply on the wire";
        case Errc::kLinkDown:
            return "the link is down";
        case Errc::kTooLarge:
            return "datagram too large for a frame";
        case Errc::kWrongWkc:
            return "wrong working counter";
        case Errc::kValidateTimeout:
            return "the value read never matched in time";
        case Errc::kRefused:
            return "the slave refused the state";
        case Errc::kNoMailbox:
            return "the slave has no usable mailbox";
        case Errc::kMailboxFull:
            return "the slave's receive mailbox stayed full";
        case Errc::kTimeout:
            return "no response in time";
        case Errc::kAbort:
            return "SDO abort";
        case Errc::kMailboxError:
            return "mailbox error";
        case Errc::kUnexpected:
            return "unexpected response";
        case Errc::kDataTooLarge:
            return "data too large";
        case Errc::kSoeError:
            return "SoE error";
        case Errc::kEoeError:
            return "EoE error result";
        case Errc::kNoSlave:
            return "no slave answers at its station address";
        case Errc::kBusyTimeout:
            return "the EEPROM interface stayed busy";
        case Errc::kAckError:
            return "the EEPROM did not acknowledge the read";
        case Errc::kInvalidArgument:
            return "invalid argument";
        case Errc::kOutsideEeprom:
            return "outside the EEPROM";
        case Errc::kNoInterface:
            return "no such network interface";
        case Errc::kNoPermission:
            return "no permission to open the network interface";
        case Errc::kSystem:
            return "a system call failed";
        case Errc::kBusy:
            return "another master holds the network interface";
        case Errc::kCancelled:
            return "cancelled";
    }
    return "?";
}

}  // namespace parvane::master
