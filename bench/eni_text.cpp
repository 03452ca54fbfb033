#include "bench/eni_text.h"

#include <cstdio>
#include <stdexcept>

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

}  // namespace benchdata
