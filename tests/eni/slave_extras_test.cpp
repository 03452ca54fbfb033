// What the reader takes from a slave beyond its addresses, process data and
// CoE: SoE and EoE init commands, FoE and AoE ones passed over, where the
// slave hangs in the tree, hot-connect groups and passive terminals; checked
// on hand-written slaves and on the real exports that carry them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "eni/eni_reader.h"

namespace parvane::eni {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string OneSlave(const std::string& body) {
    return "<EtherCATConfig><Config>\n<Slave><Info><VendorId>1</VendorId>"
           "<ProductCode>2</ProductCode><RevisionNo>3</RevisionNo></Info>\n" +
           body + "\n</Slave></Config></EtherCATConfig>\n";
}

TEST(EniSlaveExtras, MailboxCommandsOfEveryProtocol) {
    auto eni = ReadEniText(OneSlave(
        "<Mailbox><Send><Start>4096</Start><Length>128</Length></Send>"
        "<SoE><InitCmds>"
        "<InitCmd><Transition>PS</Transition><Transition>SO</Transition>"
        "<Comment>scaling</Comment><Timeout>-1</Timeout><OpCode>3</OpCode><DriveNo>1</DriveNo>"
        "<IDN>#x8020</IDN><Elements>#x40</Elements><Attribute>#x00120000</Attribute>"
        "<Data>0a00</Data></InitCmd>"
        "<InitCmd><Transition>PS</Transition><IDN>32</IDN><Disabled>true</Disabled></InitCmd>"
        "<InitCmd><Transition>IP</Transition><IDN>1</IDN></InitCmd>"
        "</InitCmds></SoE>"
        "<EoE><InitCmds><InitCmd><Transition>IP</Transition><Comment>eoe init</Comment>"
        "<Timeout>0</Timeout><Data>0201 0000</Data></InitCmd></InitCmds></EoE>"
        "<FoE><InitCmds><InitCmd><Transition>PS</Transition><Comment>file</Comment>"
        "<Data>zz</Data></InitCmd></InitCmds></FoE>"
        "<AoE><InitCmds><InitCmd Fixed=\"true\"><Transition>IP</Transition>"
        "<Transition>PS</Transition><Comment>net id</Comment></InitCmd></InitCmds>"
        "<NetId>1.2.3.4.2.1</NetId></AoE>"
        "</Mailbox>"));
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    const Mailbox& mailbox = *eni->config.slaves.at(0).mailbox;
    EXPECT_EQ(mailbox.protocols, 0x10 | 0x02 | 0x08 | 0x01);

    ASSERT_EQ(mailbox.soeInitCmds.size(), 2u);  // the disabled one dropped
    const SoeInitCmd& soe = mailbox.soeInitCmds[0];
    EXPECT_TRUE(soe.transitions.Has(Transition::kPS));
    EXPECT_TRUE(soe.transitions.Has(Transition::kSO));
    EXPECT_EQ(soe.comment, "scaling");
    EXPECT_EQ(soe.timeoutMs, 0xFFFFFFFFu);
    EXPECT_EQ(soe.opCode, 3);
    EXPECT_EQ(soe.driveNo, 1);
    EXPECT_EQ(soe.idn, 0x8020);
    EXPECT_EQ(soe.elements, 0x40);
    EXPECT_EQ(soe.data, (Bytes{0x0A, 0x00}));
    EXPECT_EQ(mailbox.soeInitCmds[1].idn, 1);
    EXPECT_EQ(mailbox.soeInitCmds[1].elements, 0x40);  // the value when not given

    ASSERT_EQ(mailbox.eoeInitCmds.size(), 1u);
    EXPECT_TRUE(mailbox.eoeInitCmds[0].transitions.Has(Transition::kIP));
    EXPECT_EQ(mailbox.eoeInitCmds[0].comment, "eoe init");
    EXPECT_EQ(mailbox.eoeInitCmds[0].data, (Bytes{0x02, 0x01, 0x00, 0x00}));

    // Passed over: their data is not read, so "zz" is no refusal.
    ASSERT_EQ(mailbox.skippedInitCmds.size(), 2u);
    EXPECT_EQ(mailbox.skippedInitCmds[0].protocol, "FoE");
    EXPECT_EQ(mailbox.skippedInitCmds[0].comment, "file");
    EXPECT_EQ(mailbox.skippedInitCmds[1].protocol, "AoE");
    EXPECT_TRUE(mailbox.skippedInitCmds[1].transitions.Has(Transition::kIP));
    EXPECT_TRUE(mailbox.skippedInitCmds[1].transitions.Has(Transition::kPS));
}

TEST(EniSlaveExtras, TreeGroupAndPassiveTerminals) {
    struct Case {
        const char* name;
        std::string body;  // the Slave's children after Info
        std::optional<char> port;
        std::uint16_t previous;  // the previous slave's PhysAddr
        std::uint16_t group;
        bool passive;
    };
    const std::string addressed = "<InitCmds/>";
    const Case cases[] = {
        {"a line: no previous port", "<ProcessData/>", {}, 0, 0, false},
        {"one previous port",
         "<ProcessData/><PreviousPort><Port>D</Port><PhysAddr>1001</PhysAddr></PreviousPort>", 'D',
         1001, 0, false},
        {"the selected one of several",
         "<ProcessData/><PreviousPort><Port>B</Port><PhysAddr>1001</PhysAddr></PreviousPort>"
         "<PreviousPort Selected=\"true\"><Port>C</Port><PhysAddr>1002</PhysAddr></PreviousPort>"
         "<PreviousPort Selected=\"1\"><Port>D</Port><PhysAddr>1003</PhysAddr></PreviousPort>",
         'C', 1002, 0, false},
        {"none selected: the first",
         "<ProcessData/><PreviousPort Selected=\"false\"><Port>b</Port><PhysAddr>#x3e9</PhysAddr>"
         "</PreviousPort><PreviousPort><Port>D</Port></PreviousPort>",
         'B', 1001, 0, false},
        {"hot-connect head with its members",
         "<ProcessData/><HotConnect><GroupName>g</GroupName><GroupMemberCnt>3</GroupMemberCnt>"
         "</HotConnect>",
         {},
         0,
         3,
         false},
        {"hot-connect head alone", "<ProcessData/><HotConnect/>", {}, 0, 1, false},
        {"passive end terminal",
         "<PreviousPort Selected=\"true\"><Port>B</Port><PhysAddr>1006</PhysAddr></PreviousPort>",
         'B', 1006, 0, true},
        {"mailbox only: not passive", "<Mailbox/>", {}, 0, 0, false},
        {"init commands only: not passive",
         "<InitCmds><InitCmd><Transition>IP</Transition><Cmd>1</Cmd></InitCmd></InitCmds>",
         {},
         0,
         0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto eni = ReadEniText(OneSlave(c.body));
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        const Slave& slave = eni->config.slaves.at(0);
        ASSERT_EQ(slave.previousPort.has_value(), c.port.has_value());
        if (c.port) {
            EXPECT_EQ(slave.previousPort->port, *c.port);
            EXPECT_EQ(slave.previousPort->physAddr, c.previous);
        }
        EXPECT_EQ(slave.hotConnectGroupSize, c.group);
        EXPECT_EQ(slave.passive, c.passive);
    }
    // Any address makes a slave active, even without anything else.
    for (const char* address : {"<PhysAddr>1001</PhysAddr>", "<AutoIncAddr>0</AutoIncAddr>"}) {
        auto eni = ReadEniText("<EtherCATConfig><Config><Slave><Info>" + std::string(address) +
                               "</Info></Slave></Config></EtherCATConfig>");
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        EXPECT_FALSE(eni->config.slaves.at(0).passive) << address;
    }
}

TEST(EniSlaveExtras, MalformedOnesAreRefusedWhereTheyAre) {
    struct Case {
        const char* name;
        std::string body;
        const char* element;
        const char* reason;
    };
    const std::string soe = "<Mailbox><SoE><InitCmds><InitCmd><Transition>PS</Transition>";
    const std::string end = "</InitCmd></InitCmds></SoE></Mailbox>";
    const Case cases[] = {
        {"soe without IDN", soe + "<Data>00</Data>" + end,
         "Config/Slave[0]/Mailbox/SoE/InitCmds/InitCmd[0]", "no <IDN>"},
        {"soe drive 8", soe + "<IDN>1</IDN><DriveNo>8</DriveNo>" + end,
         "Config/Slave[0]/Mailbox/SoE/InitCmds/InitCmd[0]/DriveNo", "not a drive"},
        {"soe IDN over 16 bits", soe + "<IDN>-1</IDN>" + end,
         "Config/Slave[0]/Mailbox/SoE/InitCmds/InitCmd[0]/IDN", "from 0 to 65535"},
        {"eoe without transition",
         "<Mailbox><EoE><InitCmds><InitCmd><Data>00</Data></InitCmd></InitCmds></EoE></Mailbox>",
         "Config/Slave[0]/Mailbox/EoE/InitCmds/InitCmd[0]", "no <Transition>"},
        {"eoe data",
         "<Mailbox><EoE><InitCmds><InitCmd><Transition>IP</Transition><Data>0</Data>"
         "</InitCmd></InitCmds></EoE></Mailbox>",
         "Config/Slave[0]/Mailbox/EoE/InitCmds/InitCmd[0]/Data", "odd number"},
        {"port E", "<PreviousPort><Port>E</Port></PreviousPort>",
         "Config/Slave[0]/PreviousPort/Port", "not a port"},
        {"selected maybe", "<PreviousPort Selected=\"maybe\"><Port>B</Port></PreviousPort>",
         "Config/Slave[0]/PreviousPort", "Selected"},
        {"group count", "<HotConnect><GroupMemberCnt>many</GroupMemberCnt></HotConnect>",
         "Config/Slave[0]/HotConnect/GroupMemberCnt", "not a number"},
        {"timeout beyond 32 bits",
         "<Mailbox><EoE><InitCmds><InitCmd><Transition>IP</Transition>"
         "<Timeout>-2147483649</Timeout></InitCmd></InitCmds></EoE></Mailbox>",
         "Config/Slave[0]/Mailbox/EoE/InitCmds/InitCmd[0]/Timeout", "not a 32-bit number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto eni = ReadEniText(OneSlave(c.body));
        ASSERT_FALSE(eni.has_value());
        EXPECT_EQ(eni.error().element, c.element);
        EXPECT_NE(eni.error().message.find(c.reason), std::string::npos) << eni.error().message;
    }
}

// The real exports, as their authors mean them.
TEST(EniSlaveExtras, RealExports) {
    const fs::path corpus = ENI_CORPUS_DIR;
    const fs::path velmaPath = corpus / "rcprg_velma_body.xml";
    const fs::path marchPath = corpus / "eterpega_march_ii.xml";
    if (!fs::exists(velmaPath) || !fs::exists(marchPath))
        GTEST_SKIP() << "no shared ENI corpus at " << corpus;

    auto march = ReadEniFile(marchPath);
    ASSERT_TRUE(march.has_value()) << march.error().message;
    ASSERT_EQ(march->slaves.size(), 9u);
    EXPECT_EQ(march->slaves[0].revisionNo, 0xFDCAF2ACu);  // written -37031252
    EXPECT_FALSE(march->config.slaves[0].previousPort.has_value());
    for (std::size_t p = 1; p < 9; ++p) {
        SCOPED_TRACE(p);
        ASSERT_TRUE(march->config.slaves[p].previousPort.has_value());
        EXPECT_EQ(march->config.slaves[p].previousPort->port, 'B');
        EXPECT_EQ(march->config.slaves[p].previousPort->physAddr, 1000 + p);
    }
    EXPECT_EQ(WithoutPassiveTerminals(*march), 0u);

    auto velma = ReadEniFile(velmaPath);
    ASSERT_TRUE(velma.has_value()) << velma.error().message;
    ASSERT_EQ(velma->config.slaves.size(), 10u);
    // The junction at 1002 feeds D, B and C; the end terminal hangs on 1006.
    const std::vector<std::pair<char, std::uint16_t>> tree = {
        {'B', 1001}, {'D', 1002}, {'B', 1002}, {'C', 1002}, {'B', 1005},
        {'B', 1006}, {'C', 1001}, {'B', 1007}, {'B', 1008}};
    std::size_t skipped = 0;
    for (std::size_t p = 0; p < 10; ++p) {
        SCOPED_TRACE(p);
        const Slave& slave = velma->config.slaves[p];
        EXPECT_EQ(slave.passive, p == 6);
        ASSERT_EQ(slave.previousPort.has_value(), p > 0);
        if (p > 0) {
            EXPECT_EQ(slave.previousPort->port, tree[p - 1].first);
            EXPECT_EQ(slave.previousPort->physAddr, tree[p - 1].second);
        }
        if (slave.mailbox) {
            for (const SkippedInitCmd& cmd : slave.mailbox->skippedInitCmds) {
                EXPECT_EQ(cmd.protocol, "AoE");
                EXPECT_TRUE(cmd.transitions.Has(Transition::kIP));
                ++skipped;
            }
        }
    }
    EXPECT_EQ(skipped, 2u);

    const SlaveIdentity seventh = velma->slaves[7];
    EXPECT_EQ(WithoutPassiveTerminals(*velma), 1u);
    ASSERT_EQ(velma->slaves.size(), 9u);
    ASSERT_EQ(velma->config.slaves.size(), 9u);
    EXPECT_EQ(velma->slaves[6], seventh);
    for (std::size_t p = 0; p < 9; ++p)
        EXPECT_EQ(velma->config.slaves[p].identity, velma->slaves[p]) << p;
    EXPECT_EQ(velma->config.slaves[6].physAddr, 1007);
}

TEST(SlaveExtras, DcElement) {
    struct Case {
        const char* name;
        const char* body;
        bool ok;
        DcConfig dc;
    };
    const Case cases[] = {
        {"a drive line's reference clock",
         "<ProcessData/><DC><ReferenceClock>true</ReferenceClock><CycleTime0>1000000</CycleTime0>"
         "<CycleTime1>0</CycleTime1><ShiftTime>0</ShiftTime></DC>",
         true, DcConfig{false, true, 1000000, 0, 0}},
        {"potential reference, shift given",
         "<ProcessData/><DC><PotentialReferenceClock>1</PotentialReferenceClock>"
         "<ReferenceClock>false</ReferenceClock><CycleTime0>#x3d090</CycleTime0>"
         "<ShiftTime>250000</ShiftTime></DC>",
         true, DcConfig{true, false, 250000, 0, 250000}},
        {"negative shift",
         "<ProcessData/><DC><CycleTime0>2000000</CycleTime0>"
         "<ShiftTime>-50000</ShiftTime></DC>",
         true, DcConfig{false, false, 2000000, 0, -50000}},
        {"a cycle that is no number",
         "<ProcessData/><DC><CycleTime0>fast</CycleTime0></DC>",
         false,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto eni = ReadEniText(OneSlave(c.body));
        ASSERT_EQ(eni.has_value(), c.ok);
        if (!c.ok)
            continue;
        const auto& dc = eni->config.slaves.at(0).dc;
        ASSERT_TRUE(dc.has_value());
        EXPECT_EQ(dc->potentialReferenceClock, c.dc.potentialReferenceClock);
        EXPECT_EQ(dc->referenceClock, c.dc.referenceClock);
        EXPECT_EQ(dc->cycleTime0, c.dc.cycleTime0);
        EXPECT_EQ(dc->cycleTime1, c.dc.cycleTime1);
        EXPECT_EQ(dc->shiftTime, c.dc.shiftTime);
    }
}

}  // namespace
}  // namespace parvane::eni
