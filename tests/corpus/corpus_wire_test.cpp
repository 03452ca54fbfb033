// The unchanged tool on every real ENI file of the shared folders over a
// veth pair, against the emulator program serving the same file: the same
// report and exit status as the run with the slaves emulated in the
// driver's process, and the file's identities online.
#include <gtest/gtest.h>

#include "tests/corpus/corpus_cases.h"
#include "tests/wire/wire_support.h"

namespace corpustest {
namespace {

class CorpusOnVeth : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(CorpusOnVeth, GivesTheReportOfTheRunInProcess) {
    const CorpusFile& file = GetParam();
    const std::string eni = file.eni.string();
    const std::vector<Identity> expected = ExpectedOnWire(file);
    const CorpusRun inProcess = RunTool(wiretest::InProcess(eni, ""), file);

    wiretest::Emulator emulator(eni, "");
    ASSERT_TRUE(emulator.Start()) << emulator.Err();
    const CorpusRun onWire = RunTool(wiretest::OnWire(eni), file);
    emulator.Kill();

    const testsupport::RunResult& wire = onWire.outcome.run;
    EXPECT_EQ(wire.exitCode, inProcess.outcome.run.exitCode)
        << wire.out << wire.err << "\ndriver log:\n"
        << onWire.outcome.driverLog << "\nemulator:\n"
        << emulator.Err();
    EXPECT_EQ(wire.out, inProcess.outcome.run.out) << "in process:\n" << inProcess.outcome.run.out;
    EXPECT_NE(onWire.outcome.driverLog.find("EtherCAT master on interface " +
                                            wiretest::MasterInterface()),
              std::string::npos)
        << onWire.outcome.driverLog;
    ExpectIdentities(onWire, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, CorpusOnVeth, ::testing::ValuesIn(CorpusFiles()),
                         [](const auto& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusOnVeth);

}  // namespace
}  // namespace corpustest
