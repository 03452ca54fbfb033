// CreateRtProcess: starts a program as a detached process of the node.
//
// The creator forks an intermediate child that starts a new session and forks
// the program's process, then exits at once; the program is thus no child of
// the creator (no zombie is left with it) and outlives it. The program's
// process gets stdin from /dev/null, stdout and stderr appended to
// <node>/log/<program>.<pid>.log, none of the creator's other descriptors, and
// the exact command-line text through the handoff variable, and the nice
// value the creator had before it set its own priority. Both children
// report over a close-on-exec pipe: the program's pid, and the errno of a
// fork or exec that failed.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cmdline_split.h"
#include "platform/handoff.h"
#include "platform/last_error.h"
#include "platform/node.h"
#include "platform/objects.h"
#include "platform/priority.h"
#include "platform/proc_stat.h"
#include "platform/rt_errors.h"
#include "platform/rt_services.h"

extern char** environ;

using namespace parvane::platform::detail;

namespace {

enum : std::int32_t { kMsgPid = 1, kMsgForkError = 2, kMsgExecError = 3 };

struct Message {
    std::int32_t tag;
    std::int32_t value;
};

// Everything the children need, prepared before fork: after it only
// async-signal-safe calls are allowed.
struct Launch {
    std::vector<std::string> words;
    std::vector<char*> argv;
    std::vector<std::string> envTexts;
    std::vector<char*> envp;
    char* handoffPid = nullptr;  // digits to fill in with the pid
    std::vector<char> logPath;   // prefix, then room for "<pid>.log"
    std::size_t logPrefixLength = 0;
    int nice = 0;  // the creator's nice value before it set its own priority
};

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

Launch Prepare(const Node& node, const char* path, const char* commandLine) {
    Launch launch;
    launch.words = SplitCommandLine(path, commandLine);
    for (auto& word : launch.words)
        launch.argv.push_back(word.data());
    launch.argv.push_back(nullptr);

    const std::string handoffPrefix = std::string(kHandoffVariable) + "=";
    for (char** e = environ; *e != nullptr; ++e)
        if (!StartsWith(*e, "RT_NODE_DIR=") && !StartsWith(*e, handoffPrefix.c_str()))
            launch.envTexts.emplace_back(*e);
    launch.envTexts.push_back("RT_NODE_DIR=" + node.folder.string());
    launch.envTexts.push_back(HandoffEntry(commandLine));
    for (auto& text : launch.envTexts)
        launch.envp.push_back(text.data());
    launch.envp.push_back(nullptr);
    launch.handoffPid = launch.envTexts.back().data() + HandoffPidOffset();

    std::string base = std::string(path);
    if (auto slash = base.rfind('/'); slash != std::string::npos)
        base.erase(0, slash + 1);
    std::string prefix = (LogFolder(node) / base).string() + ".";
    launch.logPrefixLength = prefix.size();
    launch.logPath.assign(prefix.begin(), prefix.end());
    launch.logPath.resize(prefix.size() + 32, '\0');
    launch.nice = NiceBeforeRtPriority();
    return launch;
}

void Send(int fd, std::int32_t tag, std::int32_t value) {
    Message message{tag, value};
    (void)!write(fd, &message, sizeof message);
}

// The program's process, between fork and exec.
[[noreturn]] void RunProgram(Launch& launch, int reportFd) {
    auto pid = static_cast<unsigned long>(getpid());
    PutDigits(launch.handoffPid, kHandoffPidDigits, pid);
    char* logName = launch.logPath.data() + launch.logPrefixLength;
    char digits[16];
    std::size_t count = 0;
    for (unsigned long rest = pid; count == 0 || rest != 0; rest /= 10)
        digits[count++] = static_cast<char>('0' + rest % 10);
    for (std::size_t i = 0; i < count; ++i)
        logName[i] = digits[count - 1 - i];
    std::memcpy(logName + count, ".log", 5);

    // Not the creator's own thread priority; refused (and then kept) where
    // the host does not allow raising it.
    setpriority(PRIO_PROCESS, 0, launch.nice);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            sigaction(sig, &standard, nullptr);

    if (reportFd <= 2)
        reportFd = fcntl(reportFd, F_DUPFD_CLOEXEC, 3);
    int nullFd = open("/dev/null", O_RDWR);
    int logFd = open(launch.logPath.data(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (logFd < 0)
        logFd = nullFd;
    dup2(nullFd, 0);
    dup2(logFd, 1);
    dup2(logFd, 2);
    if (reportFd > 3 && close_range(3, static_cast<unsigned>(reportFd - 1), 0) != 0)
        for (int fd = 3; fd < reportFd; ++fd)
            close(fd);
    if (close_range(static_cast<unsigned>(reportFd + 1), ~0U, 0) != 0)
        for (int fd = reportFd + 1; fd < 65536; ++fd)
            close(fd);

    execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    Send(reportFd, kMsgExecError, errno);
    _exit(127);
}

}  // namespace

RTHANDLE CreateRtProcess(const char* path, const char* commandLine, void* /*reserved*/,
                         std::uint32_t /*flags*/) {
    if (path == nullptr || *path == '\0' || std::strlen(path) >= kMaxWordText)
        return Fail(kRtErrParam, BAD_RTHANDLE);
    const Node* node = CurrentNode();
    if (node == nullptr)
        return BAD_RTHANDLE;
    Launch launch = Prepare(*node, path, commandLine != nullptr ? commandLine : "");

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return Fail(kRtErrStartFailed, BAD_RTHANDLE);
    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return Fail(kRtErrStartFailed, BAD_RTHANDLE);
    }
    if (child == 0) {
        close(report[0]);
        setsid();
        pid_t program = fork();
        if (program == 0)
            RunProgram(launch, report[1]);
        if (program < 0)
            Send(report[1], kMsgForkError, errno);
        else
            Send(report[1], kMsgPid, program);
        _exit(0);
    }
    close(report[1]);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }

    // Read until both children have let go of the pipe: the intermediate by
    // exiting, the program by its exec (close-on-exec) or its exit.
    pid_t program = -1;
    bool failed = false;
    Message message{};
    for (;;) {
        ssize_t got = read(report[0], &message, sizeof message);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof message))
            break;
        if (message.tag == kMsgPid)
            program = message.value;
        else
            failed = true;
    }
    close(report[0]);
    if (failed || program <= 0)
        return Fail(kRtErrStartFailed, BAD_RTHANDLE);
    auto stat = ReadProcStat(program);
    return HandleFor(ObjectRef{ObjectKind::Process, program, stat ? stat->start : 0, {}});
}
