// The pieces every way of starting a test's child process shares: its
// environment and argument vectors, the exec in the child, and reading its
// end back.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/process_harness.h"

namespace testsupport {

// This process's environment with the extra variables added or replacing
// those of the same name, as NAME=value texts.
std::vector<std::string> MergedEnvironment(const Env& extra);

// Null-terminated pointers into `texts` for execve; valid while `texts` is.
std::vector<char*> Pointers(std::vector<std::string>& texts);

// A wait status as an exit code, or -signal when a signal ended the process.
int DecodeStatus(int status);

// In the child after fork: stdin from /dev/null, stdout and stderr to the
// given descriptors, then exec argv[0]. Only async-signal-safe calls.
[[noreturn]] void ExecChild(std::vector<char*>& argv, std::vector<char*>& envp, int outFd,
                            int errFd);

// True when the process no longer exists or is a zombie.
bool ProcessGone(pid_t pid);

}  // namespace testsupport
