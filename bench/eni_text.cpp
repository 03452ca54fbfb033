#include "bench/eni_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace benchdata {
namespace {

void Append(std::string& text, const char* format, auto... values) {
    char line[2048];
    int n = std::snprintf(line, sizeof line, format, values...);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line)
        throw std::runtime_error("generated text too long");
    text.append(line, static_cast<std::size_t>(n));
}

}  // namespace

std::string EniText(std::size_t count, bool configuratorShaped) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<EtherCATConfig Version=\"1.3\">\n"
        "  <Config>\n"
        "    <Master>\n"
        "      <Info><Name><![CDATA[Generated master]]></Name>"
        "<Destination>ffffffffffff</Destination><Source>020000000001</Source>"
        "<EtherType>88a4</EtherType></Info>\n"
        "    </Master>\n";
    text.reserve(count * (configuratorShaped ? 2300 : 220) + 512);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned address = 1001 + static_cast<unsigned>(i);
        text += "    <Slave>\n";
        Append(text,
               "      <Info>\n"
               "        <Name><![CDATA[Terminal %zu (generated)]]></Name>\n"
               "        <PhysAddr>%u</PhysAddr>\n"
               "        <AutoIncAddr>%d</AutoIncAddr>\n"
               "        <Physics>YY</Physics>\n"
               "        <VendorId>2</VendorId>\n"
               "        <ProductCode>#x%08zx</ProductCode>\n"
               "        <RevisionNo>#x%08zx</RevisionNo>\n"
               "        <SerialNo>0</SerialNo>\n"
               "      </Info>\n",
               i, address, -static_cast<int>(i), 0x1000 + i, 0x00100000 + i % 16);
        if (configuratorShaped) {
            text +=
                "      <Mailbox DataLinkLayer=\"true\">\n"
                "        <Send><Start>4096</Start><Length>128</Length></Send>\n"
                "        <Recv><Start>4224</Start><Length>128</Length><PollTime>20</PollTime>"
                "</Recv>\n"
                "        <Protocol>CoE</Protocol>\n"
                "        <CoE><InitCmds/></CoE>\n"
                "      </Mailbox>\n"
                "      <InitCmds>\n";
            // Each transition's own request to AL control: PREOP, SAFEOP, OP.
            const struct {
                const char* transition;
                const char* state;
            } kRequests[] = {{"IP", "0200"}, {"PS", "0400"}, {"SO", "0800"}};
            for (const auto& request : kRequests) {
                Append(text,
                       "        <InitCmd>\n"
                       "          <Transition>%s</Transition>\n"
                       "          <Comment><![CDATA[set device state]]></Comment>\n"
                       "          <Requires>cycle</Requires>\n"
                       "          <Cmd>5</Cmd>\n"
                       "          <Adp>%u</Adp>\n"
                       "          <Ado>#x0120</Ado>\n"
                       "          <Data>%s</Data>\n"
                       "          <Retries>3</Retries>\n"
                       "        </InitCmd>\n",
                       request.transition, address, request.state);
            }
            Append(
                text,
                "      </InitCmds>\n"
                "      <ProcessData>\n"
                "        <Send><BitStart>%zu</BitStart><BitLength>16</BitLength></Send>\n"
                "        <Recv><BitStart>%zu</BitStart><BitLength>16</BitLength></Recv>\n"
                "        <TxPdo Fixed=\"true\" Sm=\"3\"><Index>#x1a00</Index><Name>Inputs</Name>"
                "<Entry><Index>#x6000</Index><SubIndex>1</SubIndex><BitLen>16</BitLen>"
                "<Name>Input 1</Name><DataType>UINT</DataType></Entry></TxPdo>\n"
                "        <RxPdo Fixed=\"true\" Sm=\"2\"><Index>#x1600</Index><Name>Outputs</Name>"
                "<Entry><Index>#x7000</Index><SubIndex>1</SubIndex><BitLen>16</BitLen>"
                "<Name>Output 1</Name><DataType>UINT</DataType></Entry></RxPdo>\n"
                "      </ProcessData>\n",
                8 * (26 + 2 * i), 8 * (26 + 2 * i));
        }
        text += "    </Slave>\n";
    }
    text += "  </Config>\n</EtherCATConfig>\n";
    return text;
}

std::string DcEniText(std::size_t count, std::uint32_t cycleNs) {
    const std::string plain = EniText(count, false);
    std::string dc;
    Append(dc,
           "      <DC><PotentialReferenceClock>true</PotentialReferenceClock>"
           "<CycleTime0>%u</CycleTime0><ShiftTime>0</ShiftTime></DC>\n",
           static_cast<unsigned>(cycleNs));
    // Each slave's DC element goes just before its end tag.
    const std::string_view end = "    </Slave>\n";
    std::string text;
    text.reserve(plain.size() + count * dc.size());
    std::size_t from = 0;
    for (auto at = plain.find(end); at != std::string::npos; at = plain.find(end, from)) {
        text.append(plain, from, at - from).append(dc).append(end);
        from = at + end.size();
    }
    return text.append(plain, from);
}

namespace {

// The bytes of the FMMU that maps a slave's outputs: logical start, length,
// start and end bit, physical start, start bit, type (write), enable.
std::string OutputFmmu(std::uint32_t logical, unsigned bytes) {
    char data[40];
    std::snprintf(data, sizeof data, "%02x%02x%02x%02x%02x%02x0007%02x%02x000201000000",
                  logical & 0xFF, logical >> 8 & 0xFF, logical >> 16 & 0xFF, logical >> 24,
                  bytes & 0xFF, bytes >> 8, 0x00, 0x11);
    return data;
}

}  // namespace

std::string ExportEniText(std::size_t count, const ExportShape& shape) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<EtherCATConfig Version=\"1.3\">\n"
        "  <Config>\n"
        "    <Master>\n"
        "      <Info><Name><![CDATA[Exported master]]></Name>"
        "<Destination>ffffffffffff</Destination><Source>020000000001</Source>"
        "<EtherType>88a4</EtherType></Info>\n"
        "    </Master>\n";
    const unsigned outputBytes = static_cast<unsigned>(2 * shape.rxPdoEntries);
    text.reserve(count * (900 + 240 * shape.initCmds + 110 * shape.rxPdoEntries) + 512);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned address = 1001 + static_cast<unsigned>(i);
        const std::size_t kind = i % std::max<std::size_t>(shape.productCodes, 1);
        const auto logical = static_cast<std::uint32_t>(i * outputBytes);
        Append(text,
               "    <Slave>\n"
               "      <Info>\n"
               "        <Name><![CDATA[Box %zu (AO-%04zx, %zu analog outputs)]]></Name>\n"
               "        <PhysAddr>%u</PhysAddr>\n"
               "        <AutoIncAddr>%d</AutoIncAddr>\n"
               "        <VendorId>2</VendorId>\n"
               "        <ProductCode>#x%08zx</ProductCode>\n"
               "        <RevisionNo>#x%08zx</RevisionNo>\n"
               "      </Info>\n"
               "      <ProcessData>\n"
               "        <Send><BitStart>%u</BitStart><BitLength>%u</BitLength></Send>\n"
               "        <Sm2><Type>Outputs</Type><StartAddress>#x1100</StartAddress>"
               "<ControlByte>#x64</ControlByte><Enable>true</Enable><Pdo>#x1600</Pdo></Sm2>\n"
               "        <RxPdo Fixed=\"true\" Sm=\"2\"><Index>#x1600</Index>"
               "<Name>Outputs</Name>\n",
               i, 0x2000 + kind, shape.rxPdoEntries, address, -static_cast<int>(i), 0x2000 + kind,
               0x00100000 + i % std::max<std::size_t>(shape.revisions, 1), 8 * logical,
               8 * outputBytes);
        for (std::size_t e = 0; e < shape.rxPdoEntries; ++e) {
            Append(text,
                   "          <Entry><Index>#x%04zx</Index><SubIndex>1</SubIndex>"
                   "<BitLen>16</BitLen></Entry>\n",
                   0x7000 + 0x10 * e);
        }
        text +=
            "        </RxPdo>\n"
            "      </ProcessData>\n"
            "      <InitCmds>\n";
        // What a configurator writes for a device without a mailbox, in the
        // order the transitions run; more commands repeat the list.
        const std::string fmmu = OutputFmmu(logical, outputBytes);
        char sm[24];
        std::snprintf(sm, sizeof sm, "0011%02x%02x64000100", outputBytes & 0xFF, outputBytes >> 8);
        const struct {
            const char* transitions;
            const char* comment;
            unsigned ado;
            const char* data;
        } kCommands[] = {
            {"<Transition>IP</Transition>", "clear fmmu 0", 0x0600,
             "00000000000000000000000000000000"},
            {"<Transition>IP</Transition>", "set sm 2 (outputs)", 0x0810, sm},
            {"<Transition>IP</Transition>", "set device state to PREOP", 0x0120, "0200"},
            {"<Transition>PS</Transition>", "set fmmu 0 (outputs)", 0x0600, fmmu.c_str()},
            {"<Transition>PS</Transition>", "set sm watchdog", 0x0420, "e803"},
            {"<Transition>PS</Transition>", "set device state to SAFEOP", 0x0120, "0400"},
            {"<Transition>SO</Transition>", "set device state to OP", 0x0120, "0800"},
            {"<Transition>PI</Transition><Transition>SI</Transition>"
             "<Transition>OI</Transition>",
             "set device state to INIT", 0x0120, "0100"},
        };
        for (std::size_t c = 0; c < shape.initCmds; ++c) {
            const auto& command = kCommands[c % std::size(kCommands)];
            Append(text,
                   "        <InitCmd>%s<Comment><![CDATA[%s]]></Comment>"
                   "<Cmd>5</Cmd><Adp>%u</Adp><Ado>#x%04x</Ado><Data>%s</Data></InitCmd>\n",
                   command.transitions, command.comment, address, command.ado, command.data);
        }
        text +=
            "      </InitCmds>\n"
            "    </Slave>\n";
    }
    text += "  </Config>\n</EtherCATConfig>\n";
    return text;
}

}  // namespace benchdata
