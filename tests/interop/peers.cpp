#include "tests/interop/peers.h"

#include <signal.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <pugixml.hpp>
#include <regex>
#include <sstream>

#include "tests/support/process_harness.h"
#include "tests/wire/wire_support.h"

namespace interop {

namespace fs = std::filesystem;

fs::path PeersDir() {
    return PARVANE_PEERS_DIR;
}

fs::path SharedDir() {
    return testsupport::SourceDir().parent_path() / "shared";
}

std::string Missing(const fs::path& file) {
    if (fs::exists(file))
        return "";
    return file.string() + " is missing: scripts/build-peers.sh builds the peers from " +
           (SharedDir() / "peers").string();
}

bool Required() {
    const char* value = std::getenv("PARVANE_WIRE_REQUIRED");
    return value != nullptr && std::string(value) == "1";
}

fs::path Slaveinfo() {
    return PeersDir() / "soem-build/samples/slaveinfo/slaveinfo";
}

fs::path SoemProbe() {
    return testsupport::BinDir() / "soem_probe";
}

fs::path SoemDcProbe() {
    return testsupport::BinDir() / "soem_dc_probe";
}

fs::path NetworkSimulator() {
    return PeersDir() / "kickcat-build/simulation/network_simulator";
}

namespace {

// Decimal (a minus sign counts back from 2^32) or hexadecimal after #x / 0x.
std::uint32_t Number(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    if (text.size() > 2 && (text[0] == '#' || text[0] == '0') && (text[1] == 'x' || text[1] == 'X'))
        return static_cast<std::uint32_t>(std::stoull(text.substr(2), nullptr, 16));
    return static_cast<std::uint32_t>(std::stoll(text, nullptr, 10));
}

// Configurators name a slave "Term 3 (DEVICE)": the SII holds DEVICE (else
// the name is the slave's own, and the first slave of the same identity
// gives the device its name). An independent master keeps at most 40
// characters of it.
std::string SiiName(std::string name) {
    if (name.ends_with(')')) {
        const auto open = name.rfind(" (");
        if (open != std::string::npos && open + 3 < name.size())
            name = name.substr(open + 2, name.size() - open - 3);
    }
    return name.substr(0, 40);
}

long BitLengths(const pugi::xml_node& processData, const char* direction) {
    long bits = 0;
    for (const pugi::xml_node& range : processData.children(direction))
        bits += Number(range.child_value("BitLength"));
    return bits;
}

bool Passive(const pugi::xml_node& slave) {
    const pugi::xml_node info = slave.child("Info");
    return !info.child("PhysAddr") && !info.child("AutoIncAddr") && !slave.child("InitCmds") &&
           !slave.child("ProcessData") && !slave.child("Mailbox");
}

// Lines "position vendor product revision" of NAME.expected.tsv, by position.
std::vector<std::array<std::string, 3>> ExpectedIdentities(const fs::path& eni) {
    std::vector<std::array<std::string, 3>> ids;
    std::ifstream tsv(fs::path(eni).replace_extension(".expected.tsv"));
    std::string position;
    std::array<std::string, 3> id;
    while (tsv >> position >> id[0] >> id[1] >> id[2])
        ids.push_back(id);
    return ids;
}

}  // namespace

std::vector<WireSlave> WireSlaves(const fs::path& eni, std::string& error) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_file(eni.c_str());
    if (!parsed) {
        error = std::string("pugixml: ") + parsed.description();
        return {};
    }
    const auto ids = ExpectedIdentities(eni);
    std::vector<WireSlave> slaves;
    std::size_t position = 0;
    for (const pugi::xml_node& slave : doc.document_element().child("Config").children("Slave")) {
        const std::size_t at = position++;
        if (Passive(slave))
            continue;
        const pugi::xml_node info = slave.child("Info");
        WireSlave s;
        s.name = SiiName(info.child_value("Name"));
        if (at < ids.size()) {
            s.vendor = Number("0x" + ids[at][0]);
            s.product = Number("0x" + ids[at][1]);
            if (ids[at][2] != "NA")
                s.revision = Number("0x" + ids[at][2]);
        } else {
            s.vendor = Number(info.child_value("VendorId"));
            s.product = Number(info.child_value("ProductCode"));
            if (info.child("RevisionNo"))
                s.revision = Number(info.child_value("RevisionNo"));
        }
        for (const WireSlave& before : slaves) {
            if (before.vendor == s.vendor && before.product == s.product &&
                before.revision == s.revision) {
                s.name = before.name;
                break;
            }
        }
        s.outputBits = BitLengths(slave.child("ProcessData"), "Send");
        s.inputBits = BitLengths(slave.child("ProcessData"), "Recv");
        slaves.push_back(s);
    }
    return slaves;
}

std::vector<SlaveReport> ParseSlaveinfo(const std::string& out) {
    static const std::regex block(
        "\nSlave:\\d+\n Name:([^\n]*)\n Output size: (\\d+)bits\n Input size: (\\d+)bits\n"
        " State: (\\d+)\n[\\s\\S]*? Man: ([0-9a-f]{8}) ID: ([0-9a-f]{8}) Rev: ([0-9a-f]{8})\n");
    std::vector<SlaveReport> slaves;
    for (std::sregex_iterator it(out.begin(), out.end(), block), end; it != end; ++it) {
        const std::smatch& m = *it;
        SlaveReport r;
        r.name = m[1];
        r.outputBits = std::stol(m[2]);
        r.inputBits = std::stol(m[3]);
        r.state = std::stoi(m[4]);
        r.vendor = Number("0x" + m[5].str());
        r.product = Number("0x" + m[6].str());
        r.revision = Number("0x" + m[7].str());
        slaves.push_back(r);
    }
    return slaves;
}

namespace {

// The configurations of KickCAT's example slaves, in line order.
const std::vector<std::string> kLineConfigs{"xmc4800.json", "freedom-k64f.json",
                                            "ecat402-drive.json"};

std::vector<std::string> LineArgv(std::vector<std::string> options) {
    // The example configurations name their files relative to their folder.
    const fs::path configs = PeersDir() / "kickcat-f10386d5/simulation/slave_configs";
    options.insert(options.begin(),
                   {"/usr/bin/env", "-C", configs.string(), NetworkSimulator().string(), "-i",
                    wiretest::SlaveInterface()});
    options.push_back("-s");
    options.insert(options.end(), kLineConfigs.begin(), kLineConfigs.end());
    return options;
}

}  // namespace

KickcatLine::KickcatLine(std::vector<std::string> options)
    : process_(LineArgv(std::move(options)), {}) {}

// A broadcast read until the working counter says every slave answers.
bool KickcatLine::Serves() {
    wiretest::RawSocket socket(wiretest::MasterInterface());
    if (!socket.ok())
        return false;
    // Ethernet (broadcast, a locally administered source, 0x88A4), an
    // EtherCAT header for 14 bytes, one BRD of AL status (0x0130, 2 bytes).
    std::vector<std::uint8_t> frame{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0,    0, 0,
                                    0,    0x01, 0x88, 0xa4, 14,   0x10, 7,    0x5a, 0, 0,
                                    0x30, 0x01, 2,    0,    0,    0,    0,    0,    0, 0};
    frame.resize(60, 0);
    return testsupport::WaitUntil(
        [&] {
            socket.Send(frame);
            const auto reply = socket.Receive(std::chrono::milliseconds(100));
            return reply && reply->size() >= 30 && (*reply)[12] == 0x88 && (*reply)[13] == 0xa4 &&
                   (*reply)[17] == 0x5a &&
                   (*reply)[28] + 256 * (*reply)[29] == static_cast<int>(kLineConfigs.size());
        },
        std::chrono::seconds(30));
}

void KickcatLine::Stop() {
    process_.Kill(SIGTERM);
    if (process_.Wait(std::chrono::seconds(10)) == -1000) {
        process_.Kill(SIGKILL);
        process_.Wait(std::chrono::seconds(10));
    }
}

wiretest::ToolOutcome ToolRunRetried(const std::string& eni) {
    std::optional<wiretest::ToolOutcome> outcome;
    for (int attempt = 0; attempt < 3; ++attempt) {
        testsupport::TempNode node;
        outcome = wiretest::ToolRun(node, wiretest::OnWire(eni), eni, std::chrono::seconds(240));
        if (outcome->run.out.find("StatusCode[0036H]") == std::string::npos)
            break;
    }
    return *outcome;
}

}  // namespace interop
