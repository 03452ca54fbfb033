// Bad surroundings and bad input: a catalog left behind by killed processes, a
// node folder that cannot be used, odd ENI paths and ENI files that are
// missing, empty, malformed or very large. Each run ends with a clear report
// and status; none crashes or hangs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/e2e/faults_support.h"

namespace faults {
namespace {

using namespace parvane_e2e;

const std::string kEniRefused =
    "*         OPEN ERROR. An error occurred during the open process, please check the status "
    "code details from the ZU API help. Kestro-ECAT-StatusCode[0105H]\n";
const std::string kNoSlaves =
    "*         ENI-File ERROR.  The number of slaves defined in the ENI file is 0. One or more "
    "EtherCAT slave definitions are required. Kestro-ECAT-StatusCode[0011H]\n";

RunResult Rtnode(const TempNode& node, std::vector<std::string> args) {
    args.insert(args.begin(), (BinDir() / "rtnode").string());
    return testsupport::Run(args, NodeEnv(node), 40s);
}

// Everything the driver processes of the node have logged.
std::string DriverLogs(const TempNode& node) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(node.dir() / "log", ec)) {
        if (entry.path().filename().string().starts_with("lomadyn.rta."))
            all += testsupport::ReadFile(entry.path());
    }
    return all;
}

// A tool killed in step 4 and its driver killed after it leave their process
// folders and a stale "PRCS_LOMADYN" behind; the next run copes with both.
struct StaleCase {
    const char* name;
    std::vector<std::string> options;
    int exitCode;
    std::string report;
};

void PrintTo(const StaleCase& c, std::ostream* os) {
    *os << c.name;
}

class StaleCatalog : public ::testing::TestWithParam<StaleCase> {};

TEST_P(StaleCatalog, TheNextRunReplacesTheStaleEntry) {
    const StaleCase& c = GetParam();
    TempNode node;
    {
        auto driver = StartDriver(node, {"-eni=" + Example("five-slaves.eni.xml"),
                                         "-sim=" + Example("five-slaves.matching.sim.json")});
        auto tool = StartTool(node);
        ASSERT_TRUE(tool->WaitForOutput(kStep4, 30s)) << tool->out();
        tool->Kill(SIGKILL);
        driver->Kill(SIGKILL);
        ASSERT_EQ(driver->Wait(5s), -SIGKILL);
        ASSERT_EQ(tool->Wait(5s), -SIGKILL);
    }
    const RunResult listed = Rtnode(node, {"ls"});
    ASSERT_NE(listed.out.find("PRCS_LOMADYN"), std::string::npos) << listed.out;
    ASSERT_NE(listed.out.find("stale"), std::string::npos) << listed.out;

    std::vector<std::string> argv = {(BinDir() / "parvane").string()};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const RunResult run = testsupport::Run(argv, NodeEnv(node), 90s);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out, c.report);
    // The driver that the run started is the one catalogued, and it is live.
    const RunResult after = Rtnode(node, {"ls"});
    EXPECT_NE(after.out.find("live"), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find("stale"), std::string::npos) << after.out;
    EXPECT_EQ(node.Processes().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StaleCatalog,
    ::testing::Values(
        StaleCase{"WithEni", {"-eni=" + Example("five-slaves.eni.xml")}, 0, PassedReport(5)},
        StaleCase{"WithoutEni", {}, 17, kBanner + kStep1 + kNoSlaves + kFailedVerdict}),
    [](const auto& info) { return std::string(info.param.name); });

// A node folder that is refused: nothing of the tool's own code runs.
struct FolderCase {
    const char* name;
    // Makes the folder inside the scratch folder; returns the reason printed.
    std::string (*make)(const fs::path& folder);
};

void PrintTo(const FolderCase& c, std::ostream* os) {
    *os << c.name;
}

class UnusableNodeFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(UnusableNodeFolder, IsRefusedWithItsReason) {
    TempNode scratch;
    const fs::path folder = scratch.dir() / "node";
    const std::string reason = GetParam().make(folder);
    const RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-eni=" + Example("five-slaves.eni.xml")},
        {{"RT_NODE_DIR", folder.string()},
         {"ECAT_MASTER_INI_FILE", (BinDir() / "config" / "master.ini").string()}},
        30s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "node folder " + folder.string() + " refused: " + reason + "\n");
    EXPECT_FALSE(fs::exists(folder / "root"));  // nothing was laid out in it
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnusableNodeFolder,
    ::testing::Values(
        FolderCase{"SymbolicLink",
                   [](const fs::path& folder) {
                       fs::create_directory(folder.string() + ".real");
                       fs::permissions(folder.string() + ".real", fs::perms::owner_all);
                       fs::create_directory_symlink(folder.string() + ".real", folder);
                       return std::string("it is a symbolic link");
                   }},
        FolderCase{"WorldWritable",
                   [](const fs::path& folder) {
                       fs::create_directory(folder);
                       ::chmod(folder.c_str(), 0777);
                       return std::string("it is writable by group or others");
                   }},
        FolderCase{"GroupWritable",
                   [](const fs::path& folder) {
                       fs::create_directory(folder);
                       ::chmod(folder.c_str(), 0770);
                       return std::string("it is writable by group or others");
                   }},
        FolderCase{"OtherOwner",
                   [](const fs::path& folder) {
                       fs::create_directory(folder);
                       ::chmod(folder.c_str(), 0700);
                       // Only root can give a folder away; others meet a
                       // folder of root's.
                       uid_t owner = ::geteuid() == 0 ? 65534 : 0;
                       if (::geteuid() == 0)
                           EXPECT_EQ(::chown(folder.c_str(), owner, static_cast<gid_t>(-1)), 0);
                       else
                           fs::remove(folder), fs::create_directory_symlink("/", folder);
                       return "it is owned by another user (uid " + std::to_string(owner) + ")";
                   }},
        FolderCase{"RegularFile",
                   [](const fs::path& folder) {
                       testsupport::WriteFile(folder, "not a folder");
                       return std::string("it is not a folder");
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// ENI paths with blanks and double quotes. Each is run twice: once starting a
// driver, once replacing the driver that the first run left running.
struct PathCase {
    const char* name;
    const char* relativePath;  // inside the node folder, whose own path has no blank
    bool passes;
};
void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.relativePath;
}

class OddEniPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(OddEniPath, StartsAndReplacesTheDriver) {
    const PathCase& c = GetParam();
    TempNode node;
    const fs::path eni = node.dir() / c.relativePath;
    fs::create_directories(eni.parent_path());
    fs::copy_file(Example("five-slaves.eni.xml"), eni);
    for (const char* round : {"start", "replace"}) {
        SCOPED_TRACE(round);
        const RunResult run = testsupport::Run(
            {(BinDir() / "parvane").string(), "-eni=" + eni.string()}, NodeEnv(node), 90s);
        EXPECT_EQ(run.exitCode, c.passes ? 0 : 255) << DriverLogs(node);
        EXPECT_EQ(run.out,
                  c.passes ? PassedReport(5) : kBanner + kStep1 + kEniRefused + kFailedVerdict);
    }
    EXPECT_EQ(node.Processes().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, OddEniPath,
                         ::testing::Values(PathCase{"Blanks", "my files/my  net.xml", true},
                                           PathCase{"QuoteWithoutBlank", "net\"1.xml", true},
                                           PathCase{"QuoteAfterBlank", "my files/net\"1.xml", true},
                                           PathCase{"QuoteAtEnd", "my files/net.xml\"", true},
                                           PathCase{"TwoQuotes", "my \"files\"/net 1.xml", true},
                                           // A quote before the last blank closes the quoted run
                                           // early: the platform splits the driver's command line
                                           // inside the path, and the driver cannot read the file.
                                           PathCase{"QuoteBeforeBlank", "my\"files/net 1.xml",
                                                    false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ENI files that the driver refuses: the open answers 0x0105 and the driver's
// log says why.
struct EniCase {
    const char* name;
    std::string (*make)(const fs::path& path);  // writes the file, returns the logged reason
};

void PrintTo(const EniCase& c, std::ostream* os) {
    *os << c.name;
}

class BadEniFile : public ::testing::TestWithParam<EniCase> {};

TEST_P(BadEniFile, TheOpenIsRefusedAndTheLogSaysWhy) {
    TempNode node;
    const fs::path eni = node.dir() / "net.eni.xml";
    const std::string reason = GetParam().make(eni);
    const RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-eni=" + eni.string()}, NodeEnv(node), 60s);
    EXPECT_EQ(run.exitCode, 255) << run.err;
    EXPECT_EQ(run.out, kBanner + kStep1 + kEniRefused + kFailedVerdict);
    EXPECT_NE(DriverLogs(node).find("ENI " + eni.string() + " refused: " + reason),
              std::string::npos)
        << DriverLogs(node);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadEniFile,
    ::testing::Values(EniCase{"Missing",
                              [](const fs::path& path) {
                                  return "cannot open " + path.string() +
                                         ": No such file or directory";
                              }},
                      EniCase{"Empty",
                              [](const fs::path& path) {
                                  testsupport::WriteFile(path, "");
                                  return std::string("XML parse error");
                              }},
                      EniCase{"CutShort",
                              [](const fs::path& path) {
                                  std::string text = EniText(3, true);
                                  testsupport::WriteFile(path, text.substr(0, text.size() / 2));
                                  return std::string("XML parse error");
                              }},
                      EniCase{"BinaryGarbage",
                              [](const fs::path& path) {
                                  std::string bytes(4096, '\0');
                                  for (std::size_t i = 0; i < bytes.size(); ++i)
                                      bytes[i] = static_cast<char>((i * 7919u) >> 3);
                                  testsupport::WriteFile(path, bytes);
                                  return std::string("XML parse error");
                              }},
                      EniCase{"NotAnEni",
                              [](const fs::path& path) {
                                  testsupport::WriteFile(path, "<?xml version=\"1.0\"?><Project/>");
                                  return std::string("not an ENI file");
                              }},
                      EniCase{"Folder",
                              [](const fs::path& path) {
                                  fs::create_directory(path);
                                  return "cannot read " + path.string() + ": not a regular file";
                              }},
                      EniCase{"Fifo",
                              [](const fs::path& path) {
                                  EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
                                  return "cannot read " + path.string() + ": not a regular file";
                              }}),
    [](const auto& info) { return std::string(info.param.name); });

// A 50 MB ENI of some 24,000 configurator-shaped slaves: read, checked and
// driven through the states like a small one.
TEST(LargeEni, FiftyMegabytesAreCheckedToTheEnd) {
    TempNode node;
    const std::size_t perSlave = EniText(2, true).size() - EniText(1, true).size();
    const std::size_t count = 50'000'000 / perSlave + 1;
    const fs::path eni = WriteEni(node.dir() / "large.eni.xml", count, true);
    ASSERT_GE(fs::file_size(eni), 50'000'000u);
    const RunResult run = testsupport::Run(
        {(BinDir() / "parvane").string(), "-eni=" + eni.string()}, NodeEnv(node), 120s);
    EXPECT_EQ(run.exitCode, 0) << DriverLogs(node);
    EXPECT_EQ(run.out, PassedReport(count));
}

}  // namespace
}  // namespace faults
