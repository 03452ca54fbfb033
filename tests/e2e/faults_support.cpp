#include "tests/e2e/faults_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "bench/eni_text.h"
#include "tests/support/child_process.h"

namespace faults {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

StreamingProcess::StreamingProcess(const std::vector<std::string>& argvIn,
                                   const testsupport::Env& env) {
    std::vector<std::string> argvTexts = argvIn;
    std::vector<std::string> envTexts = testsupport::MergedEnvironment(env);
    auto argv = testsupport::Pointers(argvTexts);
    auto envp = testsupport::Pointers(envTexts);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        testsupport::ExecChild(argv, envp, outPipe[1], errPipe[1]);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
}

StreamingProcess::~StreamingProcess() {
    if (!reaped_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

void StreamingProcess::Pump(int ms) {
    pollfd fds[2];
    std::string* texts[2];
    int* owners[2];
    int n = 0;
    for (auto [fd, text] : {std::pair{&outFd_, &out_}, std::pair{&errFd_, &err_}}) {
        if (*fd < 0)
            continue;
        fds[n] = {*fd, POLLIN, 0};
        texts[n] = text;
        owners[n++] = fd;
    }
    if (n == 0) {
        poll(nullptr, 0, ms);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(n), ms) <= 0)
        return;
    for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[65536];
        ssize_t got = read(*owners[i], buffer, sizeof buffer);
        if (got > 0) {
            texts[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
}

bool StreamingProcess::Reap() {
    if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
        endedAt_ = Clock::now();
    }
    return reaped_;
}

bool StreamingProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
        if (Clock::now() >= end || (outFd_ < 0 && Reap()))
            return false;
        Pump(5);
    }
    return true;
}

int StreamingProcess::Wait(std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!Reap()) {
        if (Clock::now() >= end)
            return kStillRunning;
        Pump(5);
    }
    // The pipes are the process group's; read what is left, but never wait
    // long for a descendant that may hold them.
    auto drain = Clock::now() + 2s;
    while ((outFd_ >= 0 || errFd_ >= 0) && Clock::now() < drain)
        Pump(5);
    return testsupport::DecodeStatus(status_);
}

void StreamingProcess::Kill(int signal) {
    if (!Reap())
        kill(pid_, signal);
}

std::unique_ptr<StreamingProcess> StartTool(const TempNode& node,
                                            std::vector<std::string> options) {
    options.insert(options.begin(), (BinDir() / "parvane").string());
    return std::make_unique<StreamingProcess>(options, NodeEnv(node));
}

std::unique_ptr<BackgroundProcess> StartDriver(const TempNode& node,
                                               std::vector<std::string> options) {
    options.insert(options.begin(), (BinDir() / "lomadyn.rta").string());
    auto driver = std::make_unique<BackgroundProcess>(options, NodeEnv(node));
    const testsupport::RunResult waited = testsupport::Run(
        {(BinDir() / "rtnode").string(), "wait", "PRCS_LOMADYN/ZU?END_INIT", "20000"},
        NodeEnv(node), 30s);
    EXPECT_EQ(waited.exitCode, 0) << waited.out << waited.err << driver->Err();
    return driver;
}

std::string EniText(std::size_t count, bool configuratorShaped) {
    return benchdata::EniText(count, configuratorShaped);
}

fs::path WriteEni(const fs::path& path, std::size_t count, bool configuratorShaped) {
    testsupport::WriteFile(path, EniText(count, configuratorShaped));
    return path;
}

std::string PassedReport(std::size_t count) {
    const std::string counts = "*         SUCCESS. ENI-Slaves count[" + std::to_string(count) +
                               "] Online-Slaves count[" + std::to_string(count) + "] \n";
    using namespace parvane_e2e;
    return kBanner + kStep1 + kOpened + kStep2 + counts + kStep3 + kStep4 + kAllStates + kPassed;
}

}  // namespace faults
