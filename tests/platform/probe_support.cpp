#include "tests/platform/probe_support.h"

#include <cstdio>
#include <cstdlib>

#include "platform/node.h"
#include "platform/rt_node.h"

namespace platformtest {

std::filesystem::path ProbePath() {
    return testsupport::BinDir() / "node_probe";
}

std::filesystem::path RtnodePath() {
    return testsupport::BinDir() / "rtnode";
}

void NodeTest::SetUp() {
    node_ = std::make_unique<testsupport::TempNode>();
    setenv("RT_NODE_DIR", node_->dir().c_str(), 1);
    parvane::platform::detail::ForgetNode();
    ASSERT_NE(GetRtThreadHandles(kRtRootProcess), BAD_RTHANDLE);
    ASSERT_EQ(parvane::platform::NodeFolder(), node_->dir());
}

void NodeTest::TearDown() {
    parvane::platform::LeaveNode();
    parvane::platform::detail::ForgetNode();
    unsetenv("RT_NODE_DIR");
    node_.reset();
}

testsupport::RunResult NodeTest::Rtnode(const std::vector<std::string>& words,
                                        std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{RtnodePath().string()};
    argv.insert(argv.end(), words.begin(), words.end());
    return testsupport::Run(argv, env(), timeout);
}

std::unique_ptr<testsupport::BackgroundProcess> NodeTest::StartProbe(
    const std::vector<std::string>& words) {
    std::vector<std::string> argv{ProbePath().string()};
    argv.insert(argv.end(), words.begin(), words.end());
    return std::make_unique<testsupport::BackgroundProcess>(argv, env());
}

std::string NodeTest::LogOf(const char* program, pid_t pid) const {
    char name[64];
    std::snprintf(name, sizeof name, "%s.%d.log", program, static_cast<int>(pid));
    return testsupport::ReadFile(dir() / "log" / name);
}

}  // namespace platformtest
