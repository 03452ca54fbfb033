// Helpers for tests that run the real executables as real processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Env = std::vector<std::pair<std::string, std::string>>;

// Folder of the built executables (build/bin) and of the source tree.
std::filesystem::path BinDir();
std::filesystem::path SourceDir();

struct RunResult {
    int exitCode = -1;      // the exit status, or -signal when a signal ended it
    bool timedOut = false;  // the bound ran out and the process was killed
    std::string out;        // everything it wrote to stdout
    std::string err;        // everything it wrote to stderr
    std::chrono::milliseconds elapsed{0};
};

// Runs argv[0] (a path) with the extra environment, stdin from /dev/null, and
// waits at most `timeout`; a process still running then is killed.
RunResult Run(const std::vector<std::string>& argv, const Env& env,
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A node of its own for one test: a fresh folder used as RT_NODE_DIR. On
// destruction every process that still runs in this node (found by its
// RT_NODE_DIR) is killed and the folder removed.
class TempNode {
  public:
    TempNode();
    ~TempNode();
    TempNode(const TempNode&) = delete;
    TempNode& operator=(const TempNode&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // RT_NODE_DIR=dir plus the given extra variables.
    Env env(Env extra = {}) const;
    // Processes that run with this node's RT_NODE_DIR right now.
    std::vector<pid_t> Processes() const;
    // Kills them all and waits (bounded) until they are gone.
    void KillAll() const;

  private:
    std::filesystem::path dir_;
};

// A process started in the background (its own session), stdout and stderr to
// files; killed on destruction if still running.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::vector<std::string>& argv, const Env& env);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool Running();
    // Waits at most `timeout` for the end; returns the exit code as Run does,
    // or nullopt-like -1000 when it still runs.
    int Wait(std::chrono::milliseconds timeout);
    void Kill(int signal);
    std::string Out() const;
    std::string Err() const;

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::filesystem::path outFile_, errFile_;
};

// Waits (bounded, polling every few ms) until pred() holds; false on time-out.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts {
            0, 2'000'000
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

}  // namespace testsupport
