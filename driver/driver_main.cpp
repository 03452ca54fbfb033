// The master driver, lomadyn.rta: catalogues itself in the node,
// reads its ENI and network description, serves the master operations over
// its socket and, on SIGTERM, leaves the node and exits with status 0.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/catalog_names.h"
#include "common/unique_fd.h"
#include "driver/driver_options.h"
#include "driver/driver_setup.h"
#include "driver/heap.h"
#include "driver/ipc_server.h"
#include "driver/log.h"
#include "driver/log_files.h"
#include "driver/master_service.h"
#include "ipc/protocol.h"
#include "master/log.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

using parvane::common::kDriverEntry;
using parvane::common::kEndOfInitEntry;
// Log files of earlier starts kept in the node's log folder, this one's
// included.
constexpr std::size_t kLogsKept = 10;

// True when the root directory's driver entry names this process.
bool EntryNamesThisProcess(RTHANDLE root) {
    RTHANDLE entry = LookupRtHandle(root, kDriverEntry, 0);
    return entry != BAD_RTHANDLE && parvane::platform::ProcessId(entry) == ::getpid();
}

// Removes this driver's catalog entries; the root entry only while it still
// names this process, never one that a newer driver has written meanwhile.
void LeaveCatalog(RTHANDLE root, RTHANDLE self) {
    UncatalogRtHandle(self, kEndOfInitEntry);
    if (EntryNamesThisProcess(root))
        UncatalogRtHandle(root, kDriverEntry);
}

// A descriptor that becomes readable when SIGTERM or SIGINT arrives. The
// signals are blocked from here on, so one that comes during initialisation
// waits until the loop looks at it.
parvane::common::UniqueFd StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return parvane::common::UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

int DriverMain(int argc, char** argv) {
    using parvane::driver::Log;
    parvane::master::SetLogSink(&parvane::driver::LogLine);  // one log for the whole driver
    parvane::common::UniqueFd stop = StopSignals();
    if (!stop.valid()) {
        Log("cannot watch for SIGTERM: %s", std::strerror(errno));
        return 1;
    }
    parvane::driver::DriverOptions options = parvane::driver::ParseDriverOptions(argc, argv);
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    parvane::driver::KeepNewestLogs(parvane::platform::NodeFolder() / "log",
                                    argc > 0 ? argv[0] : "", kLogsKept);
    if (root == BAD_RTHANDLE || self == BAD_RTHANDLE) {
        Log("cannot reach the node's directories (error 0x%04X)", GetLastRtError());
        return 1;
    }

    RTHANDLE running = LookupRtHandle(root, kDriverEntry, 0);
    if (running != BAD_RTHANDLE) {
        if (GetRtHandleType(running) != kRtTypeNone) {
            Log("another master driver is running (pid %d); this one does not start",
                static_cast<int>(parvane::platform::ProcessId(running)));
            return 1;
        }
        // Cataloguing replaces a stale entry; removing it here could remove
        // the live entry of a driver that starts at the same moment.
        Log("replacing the stale %s entry of a driver that is gone", kDriverEntry);
    }
    if (!CatalogRtHandle(root, self, kDriverEntry)) {
        Log("cannot catalogue %s (error 0x%04X); another driver may be starting", kDriverEntry,
            GetLastRtError());
        return 1;
    }

    parvane::driver::MasterService service([&options] {
        const parvane::driver::LargeModelHeap heap;  // for the model and the emulated segment
        return parvane::driver::LoadSetup(options);
    }());

    auto opened = parvane::driver::IpcServer::Open(parvane::platform::ProcessFolder(self),
                                                   parvane::common::kDriverSocketName);
    if (!opened) {
        Log("cannot open the IPC endpoint: %s", opened.error().message.c_str());
        LeaveCatalog(root, self);
        return 1;
    }
    std::unique_ptr<parvane::driver::IpcServer> server = std::move(*opened);
    if (!CatalogRtHandle(self, self, kEndOfInitEntry)) {
        Log("cannot catalogue %s (error 0x%04X)", kEndOfInitEntry, GetLastRtError());
        LeaveCatalog(root, self);
        return 1;
    }
    Log("initialisation ended; serving the master operations");

    // A driver that no longer holds its entry can be reached by no one (a
    // tool, rtnode stop): it leaves rather than run on uncontrolled.
    server->Serve(service, stop.get(), [root] {
        if (EntryNamesThisProcess(root))
            return true;
        Log("the %s entry no longer names this driver; leaving", kDriverEntry);
        return false;
    });

    Log("stopping");
    server.reset();
    LeaveCatalog(root, self);
    parvane::platform::LeaveNode();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, DriverMain);
}
