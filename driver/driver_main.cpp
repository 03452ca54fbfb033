// The simulated master driver, lomadyn.rta: catalogues itself in the node,
// reads its ENI and network description, serves the master operations over
// its socket and, on SIGTERM, leaves the node and exits with status 0.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "driver/driver_options.h"
#include "driver/driver_setup.h"
#include "driver/ipc_server.h"
#include "driver/log.h"
#include "driver/log_files.h"
#include "driver/master_service.h"
#include "master/master_protocol.h"
#include "master/unique_fd.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

namespace {

constexpr const char* kProcessName = "PRCS_LOMADYN";
constexpr const char* kInitDoneName = "ZU?END_INIT";
// Log files of earlier starts kept in the node's log folder, this one's
// included.
constexpr std::size_t kLogsKept = 10;

// True when the root directory's driver entry names this process.
bool EntryNamesThisProcess(RTHANDLE root) {
    RTHANDLE entry = LookupRtHandle(root, kProcessName, 0);
    return entry != BAD_RTHANDLE && rt::ProcessId(entry) == ::getpid();
}

// Removes this driver's catalog entries; the root entry only while it still
// names this process, never one that a newer driver has written meanwhile.
void LeaveCatalog(RTHANDLE root, RTHANDLE self) {
    UncatalogRtHandle(self, kInitDoneName);
    if (EntryNamesThisProcess(root))
        UncatalogRtHandle(root, kProcessName);
}

// A descriptor that becomes readable when SIGTERM or SIGINT arrives. The
// signals are blocked from here on, so one that comes during initialisation
// waits until the loop looks at it.
masterproto::UniqueFd StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return masterproto::UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

int DriverMain(int argc, char** argv) {
    using driver::Log;
    masterproto::UniqueFd stop = StopSignals();
    if (!stop.valid()) {
        Log("cannot watch for SIGTERM: %s", std::strerror(errno));
        return 1;
    }
    driver::DriverOptions options = driver::ParseDriverOptions(argc, argv);
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    RTHANDLE self = GetRtThreadHandles(kRtThisProcess);
    driver::KeepNewestLogs(rt::NodeFolder() / "log", argc > 0 ? argv[0] : "", kLogsKept);
    if (root == BAD_RTHANDLE || self == BAD_RTHANDLE) {
        Log("cannot reach the node's directories (error 0x%04X)", GetLastRtError());
        return 1;
    }

    RTHANDLE running = LookupRtHandle(root, kProcessName, 0);
    if (running != BAD_RTHANDLE) {
        if (GetRtHandleType(running) != kRtTypeNone) {
            Log("another master driver is running (pid %d); this one does not start",
                static_cast<int>(rt::ProcessId(running)));
            return 1;
        }
        // Cataloguing replaces a stale entry; removing it here could remove
        // the live entry of a driver that starts at the same moment.
        Log("replacing the stale %s entry of a driver that is gone", kProcessName);
    }
    if (!CatalogRtHandle(root, self, kProcessName)) {
        Log("cannot catalogue %s (error 0x%04X); another driver may be starting", kProcessName,
            GetLastRtError());
        return 1;
    }

    driver::MasterService service(driver::LoadSetup(options));

    std::string error;
    auto server = driver::IpcServer::Open(rt::ProcessFolder(self), masterproto::kSocketName, error);
    if (!server) {
        Log("cannot open the IPC endpoint: %s", error.c_str());
        LeaveCatalog(root, self);
        return 1;
    }
    if (!CatalogRtHandle(self, self, kInitDoneName)) {
        Log("cannot catalogue %s (error 0x%04X)", kInitDoneName, GetLastRtError());
        LeaveCatalog(root, self);
        return 1;
    }
    Log("initialisation ended; serving the master operations");

    // A driver that no longer holds its entry can be reached by no one (a
    // tool, rtnode stop): it leaves rather than run on uncontrolled.
    server->Serve(service, stop.get(), [root] {
        if (EntryNamesThisProcess(root))
            return true;
        Log("the %s entry no longer names this driver; leaving", kProcessName);
        return false;
    });

    Log("stopping");
    server.reset();
    LeaveCatalog(root, self);
    rt::LeaveNode();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return RtStartup(argc, argv, DriverMain);
}
