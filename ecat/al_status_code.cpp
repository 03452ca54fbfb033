#include "ecat/registers.h"

namespace parvane::ecat {

const char* AlStatusCodeText(std::uint16_t code) {
    switch (code) {
        case 0x0000:
            return "no error";
        case 0x0001:
            return "unspecified error";
        case 0x0002:
            return "no memory";
        case 0x0011:
            return "invalid requested state change";
        case 0x0012:
            return "unknown requested state";
        case 0x0013:
            return "bootstrap not supported";
        case 0x0014:
            return "no valid firmware";
        case 0x0015:
            return "invalid mailbox configuration (bootstrap)";
        case 0x0016:
            return "invalid mailbox configuration";
        case 0x0017:
            return "invalid sync manager configuration";
        case 0x0018:
            return "no valid inputs available";
        case 0x0019:
            return "no valid outputs";
        case 0x001A:
            return "synchronization error";
        case 0x001B:
            return "sync manager watchdog";
        case 0x001C:
            return "invalid sync manager types";
        case 0x001D:
            return "invalid output configuration";
        case 0x001E:
            return "invalid input configuration";
        case 0x001F:
            return "invalid watchdog configuration";
        case 0x0020:
            return "slave needs cold start";
        case 0x0021:
            return "slave needs INIT";
        case 0x0022:
            return "slave needs PREOP";
        case 0x0023:
            return "slave needs SAFEOP";
        case 0x0024:
            return "invalid input mapping";
        case 0x0025:
            return "invalid output mapping";
        case 0x0026:
            return "inconsistent settings";
        case 0x0027:
            return "free-run not supported";
        case 0x0028:
            return "synchronization not supported";
        case 0x0029:
            return "free-run needs 3-buffer mode";
        case 0x002A:
            return "background watchdog";
        case 0x002B:
            return "no valid inputs and outputs";
        case 0x002C:
            return "fatal sync error";
        case 0x002D:
            return "no sync error";
        case 0x0030:
            return "invalid DC sync configuration";
        case 0x0031:
            return "invalid DC latch configuration";
        case 0x0032:
            return "PLL error";
        case 0x0033:
            return "DC sync IO error";
        case 0x0034:
            return "DC sync timeout error";
        case 0x0035:
            return "DC invalid sync cycle time";
        case 0x0036:
            return "DC sync0 cycle time";
        case 0x0037:
            return "DC sync1 cycle time";
        case 0x0041:
            return "MBX_AOE";
        case 0x0042:
            return "MBX_EOE";
        case 0x0043:
            return "MBX_COE";
        case 0x0044:
            return "MBX_FOE";
        case 0x0045:
            return "MBX_SOE";
        case 0x004F:
            return "MBX_VOE";
        case 0x0050:
            return "EEPROM no access";
        case 0x0051:
            return "EEPROM error";
        case 0x0060:
            return "slave restarted locally";
        case 0x0061:
            return "device identification value updated";
        case 0x00F0:
            return "application controller available";
    }
    return "unknown AL status code";
}

}  // namespace parvane::ecat
