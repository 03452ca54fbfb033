// The unchanged tool on every real ENI file of the shared folders, the
// driver's slaves emulated in its own process from the same file: every step
// passes, and the report and the JSON result show each slave on the wire
// with the identities that the file's NAME.expected.tsv lists.
#include <gtest/gtest.h>

#include "tests/corpus/corpus_cases.h"

namespace corpustest {
namespace {

class CorpusInProcess : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(CorpusInProcess, EveryStepPassesWithTheFileIdentities) {
    const CorpusFile& file = GetParam();
    const std::vector<Identity> expected = ExpectedOnWire(file);
    const CorpusRun run = RunTool(wiretest::InProcess(file.eni.string(), ""), file);
    const testsupport::RunResult& tool = run.outcome.run;
    EXPECT_EQ(tool.exitCode, 0) << tool.out << tool.err << "\ndriver log:\n"
                                << run.outcome.driverLog;
    EXPECT_NE(tool.out.find(wiretest::kSuccessVerdict), std::string::npos) << tool.out;
    ExpectIdentities(run, expected);
}

INSTANTIATE_TEST_SUITE_P(Files, CorpusInProcess, ::testing::ValuesIn(CorpusFiles()),
                         [](const auto& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusInProcess);

}  // namespace
}  // namespace corpustest
