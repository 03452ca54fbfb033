// Measures the tool and the simulated master in a node of its own and prints
// one table: a bare SEQPACKET round trip between two processes, the master
// call round trip (also as a ratio to the bare one), whole runs on healthy
// networks of 10, 1,000 and 10,000 slaves, the restart of a running driver,
// the driver's ENI load (configurator-shaped and export-shaped files), and
// resident memory. Not part of the test run; bench/run.sh builds
// and starts it.
//
//   parvane_bench BIN_DIR EXAMPLES_DIR [calls|start]
//
// "calls" measures the two round trips only, "start" the driver starts only.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/eni_text.h"
#include "client/master_api.h"
#include "platform/rt_node.h"
#include "platform/rt_services.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

fs::path gBin;
fs::path gExamples;
fs::path gScratch;

struct Child {
    pid_t pid = -1;
    int outFd = -1;  // the child's stdout, when captured
};

// Starts a program; its stdout comes through a pipe when `capture`, otherwise
// it goes to /dev/null like its stderr.
Child Spawn(const std::vector<std::string>& args, bool capture) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (capture && pipe2(pipeFds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) {
        close(pipeFds[1]);
        child.outFd = pipeFds[0];
    }
    return child;
}

// Reads the child's stdout until `text` shows up (or end-of-file): the
// moment it was seen, or nothing.
bool WaitForText(Child& child, const std::string& text, std::string& out) {
    auto end = Clock::now() + std::chrono::seconds(120);
    while (out.find(text) == std::string::npos && Clock::now() < end) {
        pollfd p{child.outFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(child.outFd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out.find(text) != std::string::npos;
}

// Waits for the child (its pipe drained); its exit status.
int Reap(Child& child) {
    if (child.outFd >= 0) {
        char buffer[4096];
        while (read(child.outFd, buffer, sizeof buffer) > 0) {
        }
        close(child.outFd);
        child.outFd = -1;
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The driver catalogued in the node, or 0 (after waiting up to `ms` for its
// end of initialisation).
pid_t RunningDriver(unsigned ms) {
    RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
    RTHANDLE driver = LookupRtHandle(root, "PRCS_LOMADYN", ms);
    if (driver == BAD_RTHANDLE || GetRtHandleType(driver) == 0)
        return 0;
    if (LookupRtHandle(driver, "ZU?END_INIT", ms) == BAD_RTHANDLE)
        return 0;
    return parvane::platform::ProcessId(driver);
}

bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    auto close = line.rfind(')');
    return close != std::string::npos && line[close + 2] != 'Z';
}

// Stops whatever driver runs in the node and waits until it is gone.
void StopDriver() {
    pid_t pid = RunningDriver(0);
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    auto end = Clock::now() + std::chrono::seconds(10);
    while (Alive(pid) && Clock::now() < end) {
        waitpid(pid, nullptr, WNOHANG);
        usleep(1000);
    }
    if (Alive(pid))
        kill(pid, SIGKILL);
    waitpid(pid, nullptr, WNOHANG);
}

Child StartDriver(const fs::path& eni) {
    StopDriver();
    Child driver = Spawn({(gBin / "lomadyn.rta").string(), "-eni=" + eni.string()}, false);
    if (RunningDriver(60000) != driver.pid) {
        std::fprintf(stderr, "the driver on %s did not start\n", eni.c_str());
        std::exit(1);
    }
    return driver;
}

long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

fs::path Generated(std::size_t count, bool shaped) {
    fs::path path = gScratch / ("gen-" + std::to_string(count) + (shaped ? "-cfg" : "") + ".xml");
    if (!fs::exists(path)) {
        std::ofstream out(path, std::ios::binary);
        out << benchdata::EniText(count, shaped);
    }
    return path;
}

// A row of the table; a row without a target (an empty one) has no verdict.
void Row(const char* what, const std::string& measured, const char* target, bool met) {
    std::printf("| %-44s | %-26s | %-15s | %-4s |\n", what, measured.c_str(), target,
                *target == '\0' ? ""
                : met           ? "met"
                                : "MISS");
    std::fflush(stdout);
}

std::string Text(const char* format, double a, double b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

long gToolPeakKb = 0;

long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Runs the tool to its end and returns its exit status. Its peak resident
// memory is read from its own VmHWM at the moment it exits (a traced exit
// stops the process with its memory still mapped); the rusage of a child
// would also count the pages that it shared with this process before exec.
int RunTool(const std::vector<std::string>& options, long& peakKb) {
    std::vector<std::string> args = options;
    args.insert(args.begin(), (gBin / "parvane").string());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    peakKb = -1;
    int status = 0;
    waitpid(pid, &status, 0);  // stopped at its exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        long signal = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
            peakKb = PeakRssKb(pid);
        else
            signal = WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, signal);
    }
    gToolPeakKb = std::max(gToolPeakKb, peakKb);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One whole run of the tool against the running driver; wall time in ms.
double WholeRun() {
    auto start = Clock::now();
    long peakKb = 0;
    int status = RunTool({}, peakKb);
    double ms = Ms(Clock::now() - start).count();
    if (status != 0) {
        std::fprintf(stderr, "the tool ended with %d\n", status);
        std::exit(1);
    }
    return ms;
}

// The bare round trip of the last MeasureBareRoundTrip, in microseconds.
double gBareUs = 0;

// Two processes ping-ponging over an AF_UNIX SOCK_SEQPACKET socket pair with
// blocking calls, request and reply of the protocol's sizes: the floor under
// every master call on this machine, measured in the same run as the calls.
void MeasureBareRoundTrip() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    pid_t echo = fork();
    if (echo == 0) {
        close(fds[0]);
        char buffer[64];
        while (recv(fds[1], buffer, sizeof buffer, 0) > 0) {
            if (send(fds[1], buffer, 24, MSG_NOSIGNAL) != 24)
                break;
        }
        _exit(0);
    }
    close(fds[1]);
    char buffer[64] = {};
    std::vector<double> us;
    for (int i = 0; i < 21000; ++i) {  // the first 1,000 warm up
        auto start = Clock::now();
        if (send(fds[0], buffer, 20, MSG_NOSIGNAL) != 20 || recv(fds[0], buffer, 64, 0) != 24) {
            std::fprintf(stderr, "bare round trip failed\n");
            std::exit(1);
        }
        if (i >= 1000)
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    close(fds[0]);
    waitpid(echo, nullptr, 0);
    gBareUs = Median(us);
    Row("bare SEQPACKET round trip (two processes)",
        Text("median %.1f us, p99 %.1f us", gBareUs, Percentile(us, 0.99)), "", false);
}

void MeasureRoundTrip() {
    StartDriver(gExamples / "five-slaves.eni.xml");
    std::uint16_t status = 0;
    MasterHandle handle = MasterOpen("local", &status);
    if (status != 0) {
        std::fprintf(stderr, "open answered %u\n", status);
        std::exit(1);
    }
    std::vector<double> us;
    std::uint16_t requested = 0, current = 0;
    for (int i = 0; i < 1000; ++i)  // warm-up
        MasterGetState(handle, &requested, &current);
    for (int i = 0; i < 20000; ++i) {
        auto start = Clock::now();
        MasterGetState(handle, &requested, &current);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    MasterClose(handle);
    double median = Median(us);
    Row("master call round trip (MasterGetState)",
        Text("median %.1f us, p99 %.1f us", median, Percentile(us, 0.99)), "median <= 15 us",
        median <= 15.0);
    const double ratio = median / gBareUs;
    Row("  master call / bare round trip", Text("%.2f x (%.1f us)", ratio, gBareUs), "<= 1.25",
        ratio <= 1.25);
}

void MeasureWholeRuns() {
    for (std::size_t count : {10u, 1000u, 10000u}) {
        StartDriver(Generated(count, false));
        std::vector<double> ratios;
        for (int i = 0; i < 5; ++i)
            ratios.push_back(WholeRun() / 800.0);
        double ratio = Median(ratios);
        char what[64];
        std::snprintf(what, sizeof what, "whole run, %zu slaves, driver running", count);
        Row(what, Text("%.3f x 800 ms (%.0f ms)", ratio, ratio * 800),
            count == 1000 ? "<= 1.05" : "", ratio <= 1.05);
        if (count == 1000) {
            // The tool's own 800 ms of waits plus its 3,960 master calls at
            // the bare round trip of this machine.
            const double floorMs = 800.0 + 3960 * gBareUs / 1000.0;
            const double runRatio = ratio * 800.0 / floorMs;
            Row("  / (800 ms + 3,960 bare round trips)", Text("%.3f x %.0f ms", runRatio, floorMs),
                "<= 1.00", runRatio <= 1.0);
        }
    }
}

void MeasureRestart() {
    const fs::path eni = gExamples / "five-slaves.eni.xml";
    StartDriver(eni);
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        auto start = Clock::now();
        Child tool = Spawn({(gBin / "parvane").string(), "-eni=" + eni.string()}, true);
        std::string out;
        bool seen = WaitForText(tool, "* STEP 1", out);
        double elapsed = Ms(Clock::now() - start).count();
        int status = Reap(tool);
        if (!seen || status != 0) {
            std::fprintf(stderr, "restart run failed (%d)\n", status);
            std::exit(1);
        }
        ms.push_back(elapsed - 250.0);
    }
    long peakKb = 0;
    if (RunTool({"-eni=" + eni.string()}, peakKb) != 0) {  // for its memory only
        std::fprintf(stderr, "restart run failed\n");
        std::exit(1);
    }
    double median = Median(ms);
    Row("restart: tool start to \"* STEP 1\" - 250 ms",
        Text("median %.1f ms (max %.1f)", median, *std::max_element(ms.begin(), ms.end())),
        "<= 30 ms", median <= 30.0);
}

// Driver start to "ZU?END_INIT" on `eni`, median of `runs`, and the
// driver's largest resident memory right after it.
struct StartFigures {
    double medianMs = 0;
    long rssKb = 0;
};

StartFigures MeasureStart(const fs::path& eni, int runs) {
    std::vector<double> ms;
    long rss = 0;
    for (int i = 0; i < runs; ++i) {
        StopDriver();
        auto start = Clock::now();
        Child driver = Spawn({(gBin / "lomadyn.rta").string(), "-eni=" + eni.string()}, false);
        // The platform's waits are woken by the folder's change notices, so
        // they add no polling delay.
        RTHANDLE root = GetRtThreadHandles(kRtRootProcess);
        RTHANDLE entry = LookupRtHandle(root, "PRCS_LOMADYN", 60000);
        if (entry == BAD_RTHANDLE || parvane::platform::ProcessId(entry) != driver.pid ||
            LookupRtHandle(entry, "ZU?END_INIT", 60000) == BAD_RTHANDLE) {
            std::fprintf(stderr, "the driver did not end its initialisation\n");
            std::exit(1);
        }
        ms.push_back(Ms(Clock::now() - start).count());
        rss = std::max(rss, RssKb(driver.pid));
    }
    StopDriver();
    return {Median(ms), rss};
}

void MeasureEniLoad() {
    const fs::path eni = Generated(10000, true);
    const StartFigures shaped = MeasureStart(eni, 3);
    char what[80];
    std::snprintf(what, sizeof what, "driver start, 10000 slaves, %.1f MB ENI",
                  static_cast<double>(fs::file_size(eni)) / 1e6);
    Row(what, Text("median %.0f ms", shaped.medianMs), "<= 150 ms", shaped.medianMs <= 150.0);
    Row("driver RSS after that initialisation", Text("%.1f MB", shaped.rssKb / 1024.0), "<= 64 MB",
        shaped.rssKb <= 64 * 1024);

    // A configurator's export: 8 register init commands and an RxPDO of 8
    // entries per slave, 97 product codes, 5 revisions.
    const fs::path exported = gScratch / "export-10000.xml";
    {
        std::ofstream out(exported, std::ios::binary);
        out << benchdata::ExportEniText(10000);
    }
    const StartFigures start = MeasureStart(exported, 5);
    std::snprintf(what, sizeof what, "driver start, 10000 exported slaves, %.1f MB",
                  static_cast<double>(fs::file_size(exported)) / 1e6);
    Row(what, Text("median %.0f ms of 5", start.medianMs), "<= 150 ms", start.medianMs <= 150.0);
    Row("driver RSS after that initialisation", Text("%.1f MB", start.rssKb / 1024.0), "<= 48 MB",
        start.rssKb <= 48 * 1024);
}

std::string gOnly;

int BenchMain(int, char**) {
    std::printf("| %-44s | %-26s | %-15s | %-4s |\n", "measurement", "measured", "target", "");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(28, '-').c_str(),
                std::string(17, '-').c_str(), std::string(6, '-').c_str());
    if (gOnly.empty() || gOnly == "calls") {
        MeasureBareRoundTrip();
        MeasureRoundTrip();
    }
    if (gOnly == "calls")
        return 0;
    if (gOnly == "start") {
        MeasureEniLoad();
        return 0;
    }
    MeasureWholeRuns();
    MeasureRestart();
    MeasureEniLoad();
    Row("tool peak RSS (VmHWM, runs above)", Text("%.1f MB", gToolPeakKb / 1024.0), "<= 8 MB",
        gToolPeakKb <= 8 * 1024);
    StopDriver();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s BIN_DIR EXAMPLES_DIR [calls|start]\n", argv[0]);
        return 2;
    }
    if (argc == 4)
        gOnly = argv[3];
    gBin = fs::absolute(argv[1]);
    gExamples = fs::absolute(argv[2]);
    char pattern[] = "/tmp/parvane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    gScratch = pattern;
    fs::create_directory(gScratch / "node");
    fs::permissions(gScratch / "node", fs::perms::owner_all, fs::perm_options::replace);
    setenv("RT_NODE_DIR", (gScratch / "node").c_str(), 1);
    // Tool runs without -eni= use the running driver; the INI file is only
    // needed where the tool starts one itself.
    setenv("ECAT_MASTER_INI_FILE", (gBin / "config" / "master.ini").c_str(), 1);
    int status = RtStartup(argc, argv, BenchMain);
    std::error_code ignored;
    fs::remove_all(gScratch, ignored);
    return status;
}
