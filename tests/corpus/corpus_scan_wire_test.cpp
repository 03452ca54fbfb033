// The round trip of parvane-scan over a veth pair, for every real ENI file of
// the shared folders and the example: the emulator program serves the file
// on the slave end, parvane-scan writes an ENI for what it finds on the
// master end, and the unchanged tool, through the driver configured with the
// written file, takes the network through every step. The written file must
// also name the identities the source's NAME.expected.tsv lists, and
// parvane-scan must find the network the same as the file it wrote.
#include <gtest/gtest.h>

#include <cstdio>
#include <pugixml.hpp>

#include "tests/corpus/corpus_cases.h"
#include "tests/wire/wire_support.h"

namespace corpustest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The cycle time (µs) of the source's first Cyclic element; the written
// ENI is given the same one, as an engineer would ask for it.
unsigned CycleTimeUs(const fs::path& eni) {
    pugi::xml_document document;
    if (!document.load_file(eni.c_str()))
        return 1000;
    const pugi::xpath_node cycle = document.select_node(
        "//*[local-name()='Cyclic']/"
        "*[local-name()='CycleTime']");
    const unsigned us = cycle ? cycle.node().text().as_uint() : 0;
    return us != 0 ? us : 1000;
}

struct ScanRow {
    CorpusFile file;
    bool listsExpected;  // with a NAME.expected.tsv to check the identities against
};

void PrintTo(const ScanRow& row, std::ostream* out) {
    *out << row.file.eni.string();
}

std::vector<ScanRow> Rows() {
    std::vector<ScanRow> rows;
    for (CorpusFile& file : CorpusFiles())
        rows.push_back({std::move(file), true});
    rows.push_back({{"example_five_slaves", wiretest::Example(wiretest::kFive)}, false});
    return rows;
}

testsupport::RunResult Scan(const std::vector<std::string>& options) {
    std::vector<std::string> argv{(testsupport::BinDir() / "parvane-scan").string(),
                                  "-nic=" + wiretest::MasterInterface()};
    argv.insert(argv.end(), options.begin(), options.end());
    return testsupport::Run(argv, {}, 120s);
}

class ScanOnVeth : public ::testing::TestWithParam<ScanRow> {};

TEST_P(ScanOnVeth, WritesAnEniTheToolRunsThroughEveryStep) {
    const ScanRow& row = GetParam();
    wiretest::Emulator emulator(row.file.eni.string(), "");
    ASSERT_TRUE(emulator.Start()) << emulator.Err();

    testsupport::TempNode scratch;
    const fs::path written = scratch.dir() / "written.eni.xml";
    const unsigned cycleUs = CycleTimeUs(row.file.eni);
    const testsupport::RunResult scan =
        Scan({"-o=" + written.string(), "-cycle=" + std::to_string(cycleUs)});
    RecordProperty("scan_ms", static_cast<int>(scan.elapsed.count()));
    std::printf("scan of %s over veth: %lld ms\n", row.file.name.c_str(),
                static_cast<long long>(scan.elapsed.count()));
    ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err << "\nemulator:\n" << emulator.Err();
    ASSERT_TRUE(fs::exists(written)) << scan.err;
    EXPECT_NE(testsupport::ReadFile(written).find("<CycleTime>" + std::to_string(cycleUs) +
                                                  "</CycleTime>"),
              std::string::npos);

    const testsupport::RunResult same = Scan({"-compare=" + written.string()});
    EXPECT_EQ(same.exitCode, 0) << same.out << same.err;

    const CorpusFile asWritten{row.file.name, written};
    const CorpusRun run = RunTool(wiretest::OnWire(written.string()), asWritten);
    emulator.Kill();
    const testsupport::RunResult& tool = run.outcome.run;
    EXPECT_EQ(tool.exitCode, 0) << tool.out << tool.err << "\ndriver log:\n"
                                << run.outcome.driverLog << "\nemulator:\n"
                                << emulator.Err() << "\nwritten ENI:\n"
                                << testsupport::ReadFile(written);
    EXPECT_NE(tool.out.find(wiretest::kSuccessVerdict), std::string::npos) << tool.out;
    if (row.listsExpected)
        ExpectIdentities(run, ExpectedOnWire(row.file));
}

INSTANTIATE_TEST_SUITE_P(Files, ScanOnVeth, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return info.param.file.name; });

}  // namespace
}  // namespace corpustest
