#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>

extern char** environ;

namespace testsupport {

std::vector<std::string> MergedEnvironment(const Env& extra) {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : extra)
        vars[name] = value;
    std::vector<std::string> out;
    for (const auto& [name, value] : vars)
        out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return -WTERMSIG(status);
    return -1;
}

void ExecChild(std::vector<char*>& argv, std::vector<char*>& envp, int outFd, int errFd) {
    int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0)
        dup2(nullFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    execve(argv[0], argv.data(), envp.data());
    const char msg[] = "exec failed\n";
    (void)!write(2, msg, sizeof msg - 1);
    _exit(127);
}

bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    std::string line;
    std::getline(stat, line);
    auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size())
        return true;
    char state = line[close + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace testsupport
