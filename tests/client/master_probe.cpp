// A client program for the end-to-end tests: joins the node like the tool
// does and runs the master operations named on its command line, one line of
// output per step: "<step> <status> <values...>", all in hexadecimal except
// the handle.
//
//   wait-init MS             wait for the driver's entry and its end of initialisation
//   open                     MasterOpen("local") on a new handle (the current one)
//   close                    MasterClose of the current handle
//   eni | online             the two counts
//   info POS                 MasterGetSlaveInfo (record fields pre-set to 0xEEEEEEEE)
//   eeprom SEL OFF COUNT     MasterReadSlaveEeprom
//   request STATE            MasterRequestState
//   state                    MasterGetState
//   wait-state STATE MS      MasterGetState every 20 ms until STATE or MS passed
//   wait-file PATH           wait (at most 20 s) until PATH exists
//   take-driver-entry        catalogue this process as "PRCS_LOMADYN" in place of the driver
//   lookup-driver            whether "PRCS_LOMADYN" names this process
// Numbers may be decimal or 0x-hexadecimal. Each step also prints its time in ms.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/master_api.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned Num(const char* text) {
    return static_cast<unsigned>(std::strtoul(text, nullptr, 0));
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int ProbeMain(int argc, char** argv) {
    MasterHandle handle = 0;
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        auto need = [&](int n) {
            if (i + n >= argc) {
                std::printf("%s missing arguments\n", step.c_str());
                std::exit(2);
            }
        };
        auto start = Clock::now();
        if (step == "wait-init") {
            need(1);
            unsigned ms = Num(argv[++i]);
            RTHANDLE driver = LookupRtHandle(root, "PRCS_LOMADYN", ms);
            RTHANDLE done =
                driver == BAD_RTHANDLE ? BAD_RTHANDLE : LookupRtHandle(driver, "ZU?END_INIT", ms);
            std::printf("wait-init %x", done == BAD_RTHANDLE ? 1u : 0u);
        } else if (step == "open") {
            std::uint16_t status = 0xEEEE;
            handle = MasterOpen("local", &status);
            std::printf("open %x %u", status, handle);
        } else if (step == "close") {
            MasterClose(handle);
            std::printf("close 0");
        } else if (step == "eni" || step == "online") {
            std::uint16_t count = 0xEEEE;
            std::uint16_t status = step == "eni" ? MasterGetEniSlaveCount(handle, &count)
                                                 : MasterGetOnlineSlaveCount(handle, &count);
            std::printf("%s %x %x", step.c_str(), status, count);
        } else if (step == "info") {
            need(1);
            SlaveInfoRecord record{};
            record.size = sizeof record;
            record.position = Num(argv[++i]);
            record.vendorId = record.productCode = record.revisionNo = 0xEEEEEEEE;
            std::uint16_t status = MasterGetSlaveInfo(handle, &record);
            std::printf("info %x %x %x %x", status, record.vendorId, record.productCode,
                        record.revisionNo);
        } else if (step == "eeprom") {
            need(3);
            auto selector = static_cast<std::uint16_t>(Num(argv[i + 1]));
            auto offset = static_cast<std::uint16_t>(Num(argv[i + 2]));
            auto count = static_cast<std::uint16_t>(Num(argv[i + 3]));
            i += 3;
            std::uint32_t value = 0xEEEEEEEE;
            std::uint16_t status = MasterReadSlaveEeprom(handle, selector, offset, count, &value);
            std::printf("eeprom %x %x", status, value);
        } else if (step == "request") {
            need(1);
            std::uint16_t status =
                MasterRequestState(handle, static_cast<std::uint16_t>(Num(argv[++i])));
            std::printf("request %x", status);
        } else if (step == "state") {
            std::uint16_t requested = 0xEEEE, current = 0xEEEE;
            std::uint16_t status = MasterGetState(handle, &requested, &current);
            std::printf("state %x %x %x", status, requested, current);
        } else if (step == "wait-state") {
            need(2);
            unsigned wanted = Num(argv[i + 1]);
            auto end = start + std::chrono::milliseconds(Num(argv[i + 2]));
            i += 2;
            std::uint16_t requested = 0, current = 0, status = 0;
            do {
                status = MasterGetState(handle, &requested, &current);
                if (status != 0 || current == wanted)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            } while (Clock::now() < end);
            std::printf("wait-state %x %x", status, current);
        } else if (step == "wait-file") {
            need(1);
            std::filesystem::path path = argv[++i];
            while (!std::filesystem::exists(path) && MsSince(start) < 20000) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::printf("wait-file %x", std::filesystem::exists(path) ? 0u : 1u);
        } else if (step == "take-driver-entry") {
            UncatalogRtHandle(root, "PRCS_LOMADYN");
            bool ok = CatalogRtHandle(root, GetRtThreadHandles(kRtThisProcess), "PRCS_LOMADYN");
            std::printf("take-driver-entry %x", ok ? 0u : 1u);
        } else if (step == "lookup-driver") {
            RTHANDLE entry = LookupRtHandle(root, "PRCS_LOMADYN", 0);
            bool mine = entry != BAD_RTHANDLE && parvane::platform::ProcessId(entry) == ::getpid();
            std::printf("lookup-driver %x", mine ? 0u : 1u);
        } else {
            std::printf("%s unknown\n", step.c_str());
            return 2;
        }
        std::printf(" ms=%lld\n", MsSince(start));
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, ProbeMain);
}
