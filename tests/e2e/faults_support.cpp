#include "tests/e2e/faults_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "tests/support/process_harness.h"

extern char** environ;

namespace faults {
namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return -WTERMSIG(status);
    return -1;
}

std::vector<std::string> Environment(const testsupport::Env& extra) {
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : extra)
            replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced)
            vars.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        vars.push_back(name + "=" + value);
    return vars;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

void Append(std::string& text, const char* format, auto... values) {
    char line[2048];
    int n = std::snprintf(line, sizeof line, format, values...);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line)
        throw std::runtime_error("generated text too long");
    text.append(line, static_cast<std::size_t>(n));
}

}  // namespace

StreamingProcess::StreamingProcess(const std::vector<std::string>& argvIn,
                                   const testsupport::Env& env) {
    std::vector<std::string> argvTexts = argvIn;
    std::vector<std::string> envTexts = Environment(env);
    auto argv = Pointers(argvTexts);
    auto envp = Pointers(envTexts);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        int nullFd = open("/dev/null", O_RDONLY);
        if (nullFd >= 0)
            dup2(nullFd, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
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
    return DecodeStatus(status_);
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

bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
           line[close + 2] != 'X';
}

std::string EniText(std::size_t count, bool configuratorShaped) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<EtherCATConfig Version=\"1.3\">\n"
        "  <Config>\n"
        "    <Master>\n"
        "      <Info><Name><![CDATA[Generated master]]></Name>"
        "<Destination>ffffffffffff</Destination><Source>020000000001</Source>"
        "<EtherType>88a4</EtherType></Info>\n"
        "    </Master>\n";
    text.reserve(count * (configuratorShaped ? 2100 : 220) + 512);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned address = 1001 + static_cast<unsigned>(i);
        text += "    <Slave>\n";
        Append(text,
               "      <Info>\n"
               "        <Name><![CDATA[Terminal %zu (generated)]]></Name>\n"
               "        <PhysAddr>%u</PhysAddr>\n"
               "        <AutoIncAddr>%d</AutoIncAddr>\n"
               "        <Physics>YY</Physics>\n"
               "        <VendorId>2</VendorId>\n"
               "        <ProductCode>#x%08zx</ProductCode>\n"
               "        <RevisionNo>#x%08zx</RevisionNo>\n"
               "        <SerialNo>0</SerialNo>\n"
               "      </Info>\n",
               i, address, -static_cast<int>(i), 0x1000 + i, 0x00100000 + i % 16);
        if (configuratorShaped) {
            text +=
                "      <Mailbox DataLinkLayer=\"true\">\n"
                "        <Send><Start>4096</Start><Length>128</Length></Send>\n"
                "        <Recv><Start>4224</Start><Length>128</Length><PollTime>20</PollTime>"
                "</Recv>\n"
                "        <Protocol>CoE</Protocol>\n"
                "        <CoE><InitCmds/></CoE>\n"
                "      </Mailbox>\n"
                "      <InitCmds>\n";
            const char* kTransitions[] = {"IP", "PS", "SO", "OI"};
            for (const char* transition : kTransitions) {
                Append(text,
                       "        <InitCmd>\n"
                       "          <Transition>%s</Transition>\n"
                       "          <Comment><![CDATA[set device state]]></Comment>\n"
                       "          <Requires>cycle</Requires>\n"
                       "          <Cmd>5</Cmd>\n"
                       "          <Adp>%u</Adp>\n"
                       "          <Ado>#x0120</Ado>\n"
                       "          <Data>0200</Data>\n"
                       "          <Retries>3</Retries>\n"
                       "        </InitCmd>\n",
                       transition, address);
            }
            Append(
                text,
                "      </InitCmds>\n"
                "      <ProcessData>\n"
                "        <Send><BitStart>%zu</BitStart><BitLength>16</BitLength></Send>\n"
                "        <Recv><BitStart>%zu</BitStart><BitLength>16</BitLength></Recv>\n"
                "        <TxPdo Fixed=\"true\" Sm=\"3\"><Index>#x1a00</Index><Name>Inputs</Name>"
                "<Entry><Index>#x6000</Index><SubIndex>1</SubIndex><BitLen>16</BitLen>"
                "<Name>Input 1</Name><DataType>UINT</DataType></Entry></TxPdo>\n"
                "        <RxPdo Fixed=\"true\" Sm=\"2\"><Index>#x1600</Index><Name>Outputs</Name>"
                "<Entry><Index>#x7000</Index><SubIndex>1</SubIndex><BitLen>16</BitLen>"
                "<Name>Output 1</Name><DataType>UINT</DataType></Entry></RxPdo>\n"
                "      </ProcessData>\n",
                8 * (26 + 2 * i), 8 * (26 + 2 * i));
        }
        text += "    </Slave>\n";
    }
    text += "  </Config>\n</EtherCATConfig>\n";
    return text;
}

fs::path WriteEni(const fs::path& path, std::size_t count, bool configuratorShaped) {
    testsupport::WriteFile(path, EniText(count, configuratorShaped));
    return path;
}

std::string PassedReport(std::size_t count) {
    std::string counts;
    Append(counts, "*         SUCCESS. ENI-Slaves count[%zu] Online-Slaves count[%zu] \n", count,
           count);
    using namespace parvane_e2e;
    return kBanner + kStep1 + kOpened + kStep2 + counts + kStep3 + kStep4 + kAllStates + kPassed;
}

}  // namespace faults
