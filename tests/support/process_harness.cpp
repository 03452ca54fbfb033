#include "tests/support/process_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/child_process.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::filesystem::path BinDir() {
    return PARVANE_BIN_DIR;
}
std::filesystem::path SourceDir() {
    return PARVANE_SOURCE_DIR;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

RunResult Run(const std::vector<std::string>& argvIn, const Env& env,
              std::chrono::milliseconds timeout) {
    RunResult result;
    std::vector<std::string> argvTexts = argvIn;
    std::vector<std::string> envTexts = MergedEnvironment(env);
    auto argv = Pointers(argvTexts);
    auto envp = Pointers(envTexts);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        ExecChild(argv, envp, outPipe[1], errPipe[1]);
    }
    close(outPipe[1]);
    close(errPipe[1]);

    struct Stream {
        int fd;
        std::string* text;
    } streams[2] = {{outPipe[0], &result.out}, {errPipe[0], &result.err}};
    bool exited = false;
    int status = 0;
    auto deadline = start + timeout;
    Clock::time_point exitedAt{};
    for (;;) {
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            exitedAt = Clock::now();
        }
        bool open = streams[0].fd >= 0 || streams[1].fd >= 0;
        auto now = Clock::now();
        // After the exit, read on until end-of-file, but not for ever: a
        // grandchild that kept the pipe must not hang the test.
        if (exited && (!open || now - exitedAt > std::chrono::seconds(2)))
            break;
        if (!exited && now >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            exited = true;
            exitedAt = now;
            continue;
        }
        pollfd fds[2];
        int n = 0;
        for (auto& s : streams)
            if (s.fd >= 0)
                fds[n++] = {s.fd, POLLIN, 0};
        if (n == 0) {
            struct timespec ts {
                0, 2'000'000
            };
            nanosleep(&ts, nullptr);
            continue;
        }
        poll(fds, n, 10);
        for (int i = 0; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            for (auto& s : streams) {
                if (s.fd != fds[i].fd)
                    continue;
                char buf[4096];
                ssize_t got = read(s.fd, buf, sizeof buf);
                if (got > 0) {
                    s.text->append(buf, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                    close(s.fd);
                    s.fd = -1;
                }
            }
        }
    }
    for (auto& s : streams)
        if (s.fd >= 0)
            close(s.fd);
    result.exitCode = result.timedOut ? -SIGKILL : DecodeStatus(status);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return result;
}

TempNode::TempNode() {
    char pattern[] = "/tmp/pvn-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

TempNode::~TempNode() {
    KillAll();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

Env TempNode::env(Env extra) const {
    extra.emplace_back("RT_NODE_DIR", dir_.string());
    return extra;
}

std::vector<pid_t> TempNode::Processes() const {
    std::vector<pid_t> found;
    const std::string wanted = "RT_NODE_DIR=" + dir_.string();
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == getpid())
            continue;
        std::string vars = ReadFile("/proc/" + std::string(entry->d_name) + "/environ");
        size_t pos = 0;
        while (pos < vars.size()) {
            size_t next = vars.find('\0', pos);
            if (next == std::string::npos)
                next = vars.size();
            if (vars.compare(pos, next - pos, wanted) == 0) {
                if (!ProcessGone(static_cast<pid_t>(pid)))
                    found.push_back(static_cast<pid_t>(pid));
                break;
            }
            pos = next + 1;
        }
    }
    closedir(proc);
    return found;
}

void TempNode::KillAll() const {
    auto pids = Processes();
    for (pid_t pid : pids)
        kill(pid, SIGKILL);
    WaitUntil(
        [&] {
            for (pid_t pid : pids) {
                // A zombie counts as gone; its parent reaps it.
                if (!ProcessGone(pid))
                    return false;
            }
            return true;
        },
        std::chrono::seconds(5));
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argvIn, const Env& env) {
    std::vector<std::string> argvTexts = argvIn;
    std::vector<std::string> envTexts = MergedEnvironment(env);
    auto argv = Pointers(argvTexts);
    auto envp = Pointers(envTexts);
    char outName[] = "/tmp/pvn-out-XXXXXX";
    char errName[] = "/tmp/pvn-err-XXXXXX";
    int outFd = mkostemp(outName, O_CLOEXEC);
    int errFd = mkostemp(errName, O_CLOEXEC);
    if (outFd < 0 || errFd < 0)
        throw std::runtime_error("mkostemp failed");
    outFile_ = outName;
    errFile_ = errName;
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setsid();
        ExecChild(argv, envp, outFd, errFd);
    }
    close(outFd);
    close(errFd);
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    std::error_code ignored;
    std::filesystem::remove(outFile_, ignored);
    std::filesystem::remove(errFile_, ignored);
}

bool BackgroundProcess::Running() {
    if (reaped_)
        return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD))
        reaped_ = true;
    return !reaped_;
}

int BackgroundProcess::Wait(std::chrono::milliseconds timeout) {
    if (!WaitUntil([&] { return !Running(); }, timeout))
        return -1000;
    return DecodeStatus(status_);
}

void BackgroundProcess::Kill(int signal) {
    if (!reaped_)
        kill(pid_, signal);
}

std::string BackgroundProcess::Out() const {
    return ReadFile(outFile_);
}
std::string BackgroundProcess::Err() const {
    return ReadFile(errFile_);
}

}  // namespace testsupport
