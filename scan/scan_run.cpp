#include "scan/scan_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <expected>
#include <filesystem>
#include <memory>
#include <string_view>

#include "emulator/description.h"
#include "emulator/in_process_link.h"
#include "emulator/network.h"
#include "eni/eni_reader.h"
#include "master/exchange.h"
#include "master/raw_socket_link.h"
#include "scan/comparison.h"
#include "scan/json_result.h"

namespace parvane::scan {
namespace {

struct Failure {
    int status = kExitScanFailed;
    std::string message;
};

int Report(const Failure& failure) {
    std::fprintf(stderr, "parvane-scan: %s\n", failure.message.c_str());
    return failure.status;
}

// A file written whole under a temporary name in its folder and renamed
// into place by Commit; until then the temporary file goes with the object.
class PendingFile {
  public:
    static std::expected<PendingFile, Failure> Create(const std::string& path) {
        std::string temp = path + ".XXXXXX";
        const int fd = ::mkstemp(temp.data());
        if (fd < 0)
            return std::unexpected(
                Failure{kExitNotWritable, "cannot write " + path + ": " + std::strerror(errno)});
        ::close(fd);
        return PendingFile(path, std::move(temp));
    }
    PendingFile(PendingFile&& other) noexcept
        : path_(std::move(other.path_)), temp_(std::exchange(other.temp_, {})) {}
    PendingFile& operator=(PendingFile&&) = delete;
    ~PendingFile() {
        if (!temp_.empty())
            ::unlink(temp_.c_str());
    }

    std::expected<void, Failure> Commit(std::string_view text) {
        std::FILE* file = std::fopen(temp_.c_str(), "w");
        bool written =
            file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
        written = file != nullptr && std::fclose(file) == 0 && written;
        if (written) {
            ::chmod(temp_.c_str(), 0644);
            written = std::rename(temp_.c_str(), path_.c_str()) == 0;
        }
        if (!written)
            return std::unexpected(
                Failure{kExitNotWritable, "cannot write " + path_ + ": " + std::strerror(errno)});
        temp_.clear();
        return {};
    }

  private:
    PendingFile(std::string path, std::string temp)
        : path_(std::move(path)), temp_(std::move(temp)) {}
    std::string path_;
    std::string temp_;  // empty once renamed
};

// The wire the scan runs on: emulated slaves in this process, or an interface.
struct Wire {
    std::unique_ptr<emulator::Segment> segment;
    std::unique_ptr<emulator::InProcessLink> emulated;
    std::unique_ptr<master::RawSocketLink> interface;

    ecat::Link& link() {
        if (interface)
            return *interface;
        return *emulated;
    }
};

std::expected<Wire, Failure> OpenEmulated(const ScanCommand& command) {
    auto config = emulator::LoadEniConfig(command.emulate);
    if (!config)
        return std::unexpected(Failure{kExitUnreadable, config.error().message});
    emulator::Description description;
    if (!command.sim.empty()) {
        auto read = emulator::ReadDescriptionFile(command.sim);
        if (!read)
            return std::unexpected(Failure{kExitUnreadable, "cannot read the network description " +
                                                                command.sim + ": " +
                                                                read.error().message});
        description = std::move(*read);
    }
    Wire wire;
    wire.segment = emulator::BuildSegment(*config, description);
    wire.emulated = std::make_unique<emulator::InProcessLink>(*wire.segment);
    return wire;
}

std::expected<Wire, Failure> OpenInterface(const std::string& nic) {
    auto link = master::RawSocketLink::Open(nic);
    if (!link) {
        int status = kExitScanFailed;
        switch (link.error().code) {
            case master::Errc::kNoInterface:
                status = kExitNoInterface;
                break;
            case master::Errc::kNoPermission:
                status = kExitNoPermission;
                break;
            case master::Errc::kBusy:
                status = kExitBusy;
                break;
            default:
                break;
        }
        std::string message = master::RawSocketLink::Refusal(link.error(), nic);
        if (status == kExitNoPermission)
            message = "cannot open interface " + nic + ": needs CAP_NET_RAW: run as root";
        return std::unexpected(Failure{status, message});
    }
    Wire wire;
    wire.interface = std::move(*link);
    return wire;
}

// A progress line on stderr once the scan has taken a second, then at most
// one a second.
class Progress {
  public:
    void operator()(const master::ScanProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::seconds(1))
            return;
        last_ = now;
        switch (p.stage) {
            case master::ScanProgress::Stage::kFound:
                std::fprintf(stderr, "parvane-scan: %zu slaves found\n", p.total);
                break;
            case master::ScanProgress::Stage::kSii:
                std::fprintf(stderr, "parvane-scan: SII read of %zu of %zu slaves\n", p.done,
                             p.total);
                break;
            case master::ScanProgress::Stage::kCoe:
                std::fprintf(stderr, "parvane-scan: CoE read of %zu of %zu slaves\n", p.done,
                             p.total);
                break;
        }
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

std::expected<master::ScannedNetwork, Failure> Scan(Wire& wire, const std::string& where,
                                                    std::atomic<bool>& stop) {
    master::Exchange exchange(wire.link(), master::ExchangeOptions{});
    master::ScanOptions options;
    options.progress = Progress{};
    options.stop = &stop;
    auto network = master::ScanNetwork(exchange, options);
    if (stop.load())
        return std::unexpected(
            Failure{kExitInterrupted, "interrupted: the slaves were put back to INIT"});
    if (!network) {
        if (network.error() == master::Errc::kNoReply)
            return std::unexpected(Failure{kExitNoSlave, "no slave answers on " + where +
                                                             " (no slave, or the cable is not "
                                                             "connected)"});
        return std::unexpected(Failure{kExitScanFailed, "the scan of " + where + " failed: " +
                                                            master::ErrorText(network.error())});
    }
    if (network->slaves.empty())
        return std::unexpected(Failure{kExitNoSlave, "no slave answers on " + where});
    return std::move(*network);
}

std::expected<int, Failure> Compare(const ScanCommand& command, const eni::NetworkConfig& config,
                                    const master::ScannedNetwork& network,
                                    std::optional<PendingFile>& json) {
    const Comparison comparison = CompareNetwork(config, network);
    const int status = comparison.same() ? kExitDone : kExitDifferent;
    if (json) {
        const ComparedWith with{command.compare, command.nic, command.emulate};
        if (auto written = json->Commit(ComparisonJson(comparison, with, status)); !written)
            return std::unexpected(written.error());
    }
    const std::string text = ComparisonText(comparison);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return status;
}

std::expected<int, Failure> Run(const ScanCommand& command, std::atomic<bool>& stop,
                                const EniWriter& writeEni) {
    std::optional<eni::NetworkConfig> compareWith;
    if (!command.compare.empty()) {
        auto contents = eni::ReadEniFile(command.compare);
        if (!contents)
            return std::unexpected(Failure{
                kExitUnreadable,
                "cannot read the ENI " + command.compare + ": " + contents.error().message});
        compareWith = std::move(contents->config);
    }
    // The outputs are made before the scan, so that one that cannot be
    // written fails before the network is touched.
    std::optional<PendingFile> output, json;
    for (auto [path, file] :
         {std::pair{&command.output, &output}, std::pair{&command.json, &json}}) {
        if (path->empty())
            continue;
        auto created = PendingFile::Create(*path);
        if (!created)
            return std::unexpected(created.error());
        file->emplace(std::move(*created));
    }
    auto wire = command.emulate.empty() ? OpenInterface(command.nic) : OpenEmulated(command);
    if (!wire)
        return std::unexpected(wire.error());
    const std::string where =
        command.emulate.empty() ? "interface " + command.nic : "the emulated slaves";
    auto network = Scan(*wire, where, stop);
    if (!network)
        return std::unexpected(network.error());
    if (compareWith)
        return Compare(command, *compareWith, *network, json);
    // An ENI with a slave whose identity is unknown would be wrong: refuse.
    for (const master::ScannedSlave& slave : network->slaves) {
        if (slave.eepromError)
            return std::unexpected(
                Failure{kExitScanFailed, "the EEPROM of the slave at position " +
                                             std::to_string(slave.position) + " cannot be read (" +
                                             *slave.eepromError + "): no ENI written"});
    }
    const std::string eni = writeEni(*network, command.cycleUs);
    if (output) {
        if (auto written = output->Commit(eni); !written)
            return std::unexpected(written.error());
    } else {
        std::fwrite(eni.data(), 1, eni.size(), stdout);
    }
    return kExitDone;
}

}  // namespace

int RunScan(const ScanCommand& command, std::atomic<bool>& stop, const EniWriter& writeEni) {
    auto status = Run(command, stop, writeEni);
    if (!status)
        return Report(status.error());
    std::fflush(stdout);
    return *status;
}

}  // namespace parvane::scan
