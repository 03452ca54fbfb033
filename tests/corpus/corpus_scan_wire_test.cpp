// The round trip of parvane-scan over a veth pair, for every real ENI file of
// the shared folders and the example (also with other networks than its
// ENI): the emulator program serves the file on the slave end, parvane-scan writes an ENI for what
// it finds on the master end, and the unchanged tool, through the driver configured with the
// written file, takes the network through every step. The written file must
// also name the identities the source's NAME.expected.tsv lists, and
// parvane-scan must find the network the same as the file it wrote. And
// the comparison over the wire says what the in-process one says.
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
    bool listsExpected;       // with a NAME.expected.tsv to check the identities against
    std::string description;  // the emulator's network description (wiretest::CaseFile)
    int sourceCompare = 0;    // parvane-scan's exit status compared with the source ENI
};

void PrintTo(const ScanRow& row, std::ostream* out) {
    *out << row.file.eni.string();
}

std::vector<ScanRow> Rows() {
    std::vector<ScanRow> rows;
    for (CorpusFile& file : CorpusFiles())
        rows.push_back({std::move(file), true, "", 0});
    // The example, also with networks other than its ENI: a slave more, an
    // older revision, slow EEPROMs and a wire that loses frames.
    const auto example = [&](std::string name, std::string description, int sourceCompare) {
        rows.push_back({{"example_five_slaves" + name, wiretest::Example(wiretest::kFive)},
                        false,
                        std::move(description),
                        sourceCompare});
    };
    example("", "", 0);
    example("_extra_slave", "five-slaves.extra-slave.sim.json", 1);
    example("_revision_mismatch", "five-slaves.revision-mismatch.sim.json", 1);
    example("_slow_eeproms", R"({"eeprom_busy_us": 400})", 0);
    example("_lossy_wire", R"({"lose_every": 9})", 0);
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
    testsupport::TempNode scratch;
    wiretest::Emulator emulator(row.file.eni.string(),
                                wiretest::CaseFile(row.description, scratch.dir()));
    ASSERT_TRUE(emulator.Start()) << emulator.Err();

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
    const testsupport::RunResult source = Scan({"-compare=" + row.file.eni.string()});
    EXPECT_EQ(source.exitCode, row.sourceCompare) << source.out << source.err;

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

// The comparison of a network on the wire says what the comparison of the
// same network emulated in process says, line for line, with the same exit
// status: the raw socket's path through the scan loses and adds nothing.
TEST(ScanCompareOnVeth, SaysWhatTheScanOfEmulatedSlavesSays) {
    const std::string eni = wiretest::Example(wiretest::kFive);
    struct Case {
        std::string description;
        int exitCode;
    };
    const std::vector<Case> cases{
        {"five-slaves.matching.sim.json", 0},
        {"five-slaves.revision-mismatch.sim.json", 1},
        {"five-slaves.extra-slave.sim.json", 1},
        {R"({"slaves": [{}, {}, {"product_code": "0x0BC43052", "revision_no": "0x00150000"}]})", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        testsupport::TempNode scratch;
        const std::string description = wiretest::CaseFile(c.description, scratch.dir());
        const testsupport::RunResult emulated =
            testsupport::Run({(testsupport::BinDir() / "parvane-scan").string(), "-emulate=" + eni,
                              "-sim=" + description, "-compare=" + eni},
                             {}, 120s);
        wiretest::Emulator emulator(eni, description);
        ASSERT_TRUE(emulator.Start()) << emulator.Err();
        const testsupport::RunResult wire = Scan({"-compare=" + eni});
        emulator.Kill();
        EXPECT_EQ(emulated.exitCode, c.exitCode) << emulated.out << emulated.err;
        EXPECT_EQ(wire.exitCode, emulated.exitCode) << wire.out << wire.err;
        EXPECT_EQ(wire.out, emulated.out);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ScanOnVeth, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return info.param.file.name; });

}  // namespace
}  // namespace corpustest
