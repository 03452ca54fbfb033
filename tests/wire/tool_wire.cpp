#include "tests/wire/tool_wire.h"

#include <csignal>
#include <cstdlib>

#include "bench/eni_text.h"
#include "tests/wire/wire_support.h"

namespace wiretest {

using namespace std::chrono_literals;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::TempNode;

std::string Example(const std::string& name) {
    return (testsupport::SourceDir() / "examples" / name).string();
}

std::string CaseFile(const std::string& name, const std::filesystem::path& dir) {
    if (name.empty())
        return name;
    if (name.starts_with("generated:")) {
        const auto count = std::stoul(name.substr(10));
        const auto path = dir / ("generated-" + std::to_string(count) + ".eni.xml");
        // Identities only: the configurator-shaped variant's init commands
        // (a device state written at SO) are there to be read, not run.
        testsupport::WriteFile(path, benchdata::EniText(count, false));
        return path.string();
    }
    if (name.starts_with("{")) {
        const auto path = dir / "network.sim.json";
        testsupport::WriteFile(path, name);
        return path.string();
    }
    if (name.starts_with("samples/"))
        return (testsupport::SourceDir().parent_path() / "shared/eni-samples" / name.substr(8))
            .string();
    return Example(name);
}

Emulator::Emulator(std::string eni, std::string description)
    : eni_(std::move(eni)), description_(std::move(description)) {}

bool Emulator::Start() {
    std::vector<std::string> argv{(BinDir() / "ecat-emulator").string(), "-nic=" + SlaveInterface(),
                                  "-eni=" + eni_};
    if (!description_.empty())
        argv.push_back("-sim=" + description_);
    process_.reset();
    process_ = std::make_unique<BackgroundProcess>(argv, testsupport::Env{});
    // It prints one line once it serves, or stops at once.
    return testsupport::WaitUntil(
               [&] {
                   return process_->Out().find("serving") != std::string::npos ||
                          !process_->Running();
               },
               20s) &&
           process_->Running();
}

void Emulator::Kill() {
    if (process_) {
        process_->Kill(SIGKILL);
        process_->Wait(10s);
    }
}

std::string Emulator::Err() const {
    return process_ ? process_->Err() : std::string();
}

testsupport::Env NodeEnv(const TempNode& node) {
    return node.env({{"ECAT_MASTER_INI_FILE", (BinDir() / "config" / "master.ini").string()}});
}

Driver::Driver(const TempNode& node, std::vector<std::string> options) : node_(node) {
    options.insert(options.begin(), (BinDir() / "lomadyn.rta").string());
    process_ = std::make_unique<BackgroundProcess>(options, NodeEnv(node));
    const auto waited = testsupport::Run(
        {(BinDir() / "rtnode").string(), "wait", "PRCS_LOMADYN/ZU?END_INIT", "60000"},
        NodeEnv(node), 70s);
    ready_ = waited.exitCode == 0;
}

Driver::~Driver() {
    Stop();
}

void Driver::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    testsupport::Run({(BinDir() / "rtnode").string(), "stop", "PRCS_LOMADYN"}, NodeEnv(node_), 20s);
    // A driver the tool started is the node's too; it is gone once stop returns.
    testsupport::WaitUntil([&] { return node_.Processes().empty(); }, 10s);
    process_->Wait(10s);
}

std::string Driver::Log() const {
    return process_->Err() + DriverLogs(node_);
}

std::vector<std::string> OnWire(const std::string& eni, const std::string& pcap) {
    std::vector<std::string> options{"-eni=" + eni, "-nic=" + MasterInterface()};
    if (!pcap.empty())
        options.push_back("-pcap=" + pcap);
    return options;
}

std::vector<std::string> InProcess(const std::string& eni, const std::string& description) {
    std::vector<std::string> options{"-eni=" + eni};
    if (!description.empty())
        options.push_back("-sim=" + description);
    return options;
}

std::string DriverLogs(const TempNode& node) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(node.dir() / "log", ec)) {
        if (entry.path().filename().string().starts_with("lomadyn.rta."))
            all += testsupport::ReadFile(entry.path());
    }
    return all;
}

std::vector<std::string> ToolArgs(const std::string& eni) {
    return {(BinDir() / "parvane").string(), "-eni=" + eni};
}

ToolOutcome ToolRun(const TempNode& node, const std::vector<std::string>& options,
                    const std::string& eni, std::chrono::seconds bound) {
    ToolOutcome outcome;
    Driver driver(node, options);
    outcome.run = testsupport::Run(ToolArgs(eni), NodeEnv(node), bound);
    if (!driver.ready())
        outcome.run.err += "\nthe driver did not end its initialisation";
    driver.Stop();
    outcome.driverLog = driver.Log();
    return outcome;
}

Compared CompareRuns(const std::string& eni, const std::string& description,
                     std::chrono::seconds bound, const std::string& pcap) {
    Compared compared;
    {
        TempNode node;
        compared.inProcess = ToolRun(node, InProcess(eni, description), eni, bound);
    }
    Emulator emulator(eni, description);
    if (!emulator.Start()) {
        compared.emulatorErr = emulator.Err();
        return compared;
    }
    TempNode node;
    compared.onWire = ToolRun(node, OnWire(eni, pcap), eni, bound);
    emulator.Kill();
    compared.emulatorErr = emulator.Err();
    return compared;
}

long long LastNumberAfter(const std::string& text, const std::string& key) {
    const auto at = text.rfind(key);
    if (at == std::string::npos)
        return -1;
    return std::strtoll(text.c_str() + at + key.size(), nullptr, 10);
}

long long SumOfNumbersAfter(const std::string& text, const std::string& key) {
    long long sum = 0;
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        sum += std::strtoll(text.c_str() + at + key.size(), nullptr, 10);
    return sum;
}

}  // namespace wiretest
