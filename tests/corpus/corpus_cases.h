// The real ENI files of the shared folders as test cases: each file found
// there is one case, named after it, with the identities its
// NAME.expected.tsv lists for the slaves that are on the wire.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"
#include "tests/wire/tool_wire.h"

namespace corpustest {

struct Identity {
    std::uint32_t vendorId = 0;
    std::uint32_t productCode = 0;
    std::uint32_t revisionNo = 0;
    bool operator==(const Identity&) const = default;
};

struct CorpusFile {
    std::string name;  // the file's name without .xml, as a test name
    std::filesystem::path eni;
};

void PrintTo(const CorpusFile& file, std::ostream* out);

// Every NAME.xml with a NAME.expected.tsv in the folders the build names.
std::vector<CorpusFile> CorpusFiles();

// The identities of NAME.expected.tsv (NA reads as 0, as the tool reads a
// missing element), without the file's passive terminals: the slaves
// listed with no address, process data, mailbox or init commands.
std::vector<Identity> ExpectedOnWire(const CorpusFile& file);

// The tool run once with -eni= and -json= against a driver started with
// `driverOptions`, the driver stopped afterwards.
struct CorpusRun {
    wiretest::ToolOutcome outcome;
    std::string resultJson;  // the -json= file's text; empty when none was written
};
CorpusRun RunTool(const std::vector<std::string>& driverOptions, const CorpusFile& file);

// What the run says about the slaves: the ENI's and the online identities
// per slave of the JSON result, and the report's count line that they
// must agree with.
void ExpectIdentities(const CorpusRun& run, const std::vector<Identity>& expected);

}  // namespace corpustest
