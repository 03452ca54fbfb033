// The network configuration the ENI reader fills: what each sample and
// example file configures (numbers counted by hand in the files), the forms of
// numbers, addresses and hexBinary data, and malformed commands refused with
// their element path and line.
#include "eni/model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/eni_text.h"
#include "eni/eni_reader.h"

namespace parvane::eni {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::size_t CountFor(const std::vector<InitCmd>& cmds, Transition t) {
    std::size_t n = 0;
    for (const InitCmd& cmd : cmds)
        n += cmd.transitions.Has(t);
    return n;
}

struct FileCounts {
    const char* folder;  // "samples" or "examples"
    const char* file;
    std::size_t slaves;
    std::size_t masterCmds;
    std::size_t slaveCmds;
    std::size_t slaveIP, slavePS, slaveSO;
    std::size_t coeCmds;
    std::size_t sms;
    std::size_t cyclicCmds;
};

TEST(EniModel, EachFileConfiguresWhatItsElementsSay) {
    const FileCounts cases[] = {
        {"samples", "jnec-compliant-handwritten.xml", 2, 1, 2, 1, 1, 0, 0, 0, 1},
        {"samples", "kickcat-io-handwritten.xml", 3, 3, 5, 3, 1, 0, 0, 1, 3},
        {"samples", "kpierczy-cifx-imu.xml", 5, 12, 237, 97, 46, 10, 48, 10, 6},
        {"samples", "soem-sample.xml", 2, 0, 0, 0, 0, 0, 5, 0, 0},
        {"examples", "five-slaves.eni.xml", 5, 1, 20, 10, 5, 5, 4, 4, 1},
    };
    // The shared sample folder lies outside the repository: without it only
    // the examples are checked.
    const bool haveSamples = fs::is_directory(ENI_SAMPLES_DIR);
    for (const FileCounts& c : cases) {
        SCOPED_TRACE(c.file);
        const bool sample = std::string(c.folder) == "samples";
        if (sample && !haveSamples)
            continue;
        fs::path path = fs::path(sample ? ENI_SAMPLES_DIR : EXAMPLES_DIR) / c.file;
        if (!fs::exists(path)) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        auto eni = ReadEniFile(path);
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        const NetworkConfig& config = eni->config;
        ASSERT_EQ(config.slaves.size(), c.slaves);
        ASSERT_EQ(eni->slaves.size(), c.slaves);
        EXPECT_EQ(config.masterInitCmds.size(), c.masterCmds);
        std::size_t cmds = 0, ip = 0, ps = 0, so = 0, coe = 0, sms = 0, cyclic = 0;
        for (std::size_t i = 0; i < config.slaves.size(); ++i) {
            const Slave& slave = config.slaves[i];
            EXPECT_EQ(slave.identity, eni->slaves[i]) << "slave " << i;
            cmds += slave.initCmds.size();
            ip += CountFor(slave.initCmds, Transition::kIP);
            ps += CountFor(slave.initCmds, Transition::kPS);
            so += CountFor(slave.initCmds, Transition::kSO);
            if (slave.mailbox)
                coe += slave.mailbox->coeInitCmds.size();
            if (slave.processData)
                sms += slave.processData->sms.size();
        }
        for (const Cyclic& task : config.cyclic) {
            for (const CyclicFrame& frame : task.frames)
                cyclic += frame.cmds.size();
        }
        EXPECT_EQ(cmds, c.slaveCmds);
        EXPECT_EQ(ip, c.slaveIP);
        EXPECT_EQ(ps, c.slavePS);
        EXPECT_EQ(so, c.slaveSO);
        EXPECT_EQ(coe, c.coeCmds);
        EXPECT_EQ(sms, c.sms);
        EXPECT_EQ(cyclic, c.cyclicCmds);
    }
}

TEST(EniModel, HandWrittenSampleDetails) {
    fs::path path = fs::path(ENI_SAMPLES_DIR) / "kickcat-io-handwritten.xml";
    if (!fs::exists(path))
        GTEST_SKIP() << "no sample " << path;
    auto eni = ReadEniFile(path);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    const NetworkConfig& config = eni->config;
    EXPECT_EQ(config.master.name, "KickCAT test master");
    EXPECT_EQ(config.master.destination, ecat::kBroadcastMac);
    EXPECT_EQ(config.master.source, (ecat::MacAddress{0x02, 0, 0, 0, 0, 0x01}));

    // Master: BRD with BeforeSlave "1", BWR of 256 zero bytes, a validated BRD.
    ASSERT_EQ(config.masterInitCmds.size(), 3u);
    EXPECT_TRUE(config.masterInitCmds[0].beforeSlave);
    EXPECT_EQ(config.masterInitCmds[0].requirement, "cycle");
    EXPECT_EQ(config.masterInitCmds[1].datagram.command, ecat::Command::kBwr);
    EXPECT_EQ(config.masterInitCmds[1].datagram.ado, 0x0600);
    EXPECT_EQ(config.masterInitCmds[1].datagram.data, Bytes(256, 0));
    EXPECT_EQ(config.masterInitCmds[1].retries, 3u);
    const InitCmd& check = config.masterInitCmds[2];
    EXPECT_FALSE(check.beforeSlave);
    EXPECT_EQ(check.datagram.expectedWkc, std::optional<std::uint16_t>(3));
    ASSERT_TRUE(check.validate.has_value());
    EXPECT_EQ(check.validate->data, (Bytes{0x04, 0x00}));
    EXPECT_EQ(check.validate->mask, (Bytes{0x1F, 0x00}));
    EXPECT_EQ(check.validate->timeoutMs, 2000u);

    // Slave 0: one command for four down transitions; PhysAddr 1001 in wire order.
    const Slave& coupler = config.slaves[0];
    EXPECT_EQ(coupler.physAddr, 1001);
    ASSERT_EQ(coupler.initCmds.size(), 2u);
    for (Transition t : {Transition::kPI, Transition::kBI, Transition::kSI, Transition::kOI})
        EXPECT_TRUE(coupler.initCmds[0].transitions.Has(t)) << TransitionText(t);
    EXPECT_FALSE(coupler.initCmds[0].transitions.Has(Transition::kIP));
    EXPECT_EQ(coupler.initCmds[1].datagram.data, (Bytes{0xE9, 0x03}));
    EXPECT_EQ(coupler.initCmds[1].datagram.address(), 0x00100000u);

    const Slave& inputs = config.slaves[1];
    EXPECT_EQ(inputs.autoIncAddr, 0xFFFF);
    EXPECT_EQ(inputs.initCmds[0].datagram.adp, 0xFFFF);
    ASSERT_TRUE(inputs.processData && inputs.processData->recv);
    EXPECT_EQ(inputs.processData->recv->bitLength, 4u);
    EXPECT_FALSE(inputs.processData->send.has_value());

    // Slave 2: Sm2 with two PDOs in two number forms; an RxPdo of 1 + 3 bits.
    const ProcessData& outputs = *config.slaves[2].processData;
    ASSERT_EQ(outputs.sms.size(), 1u);
    EXPECT_EQ(outputs.sms[0].number, 2);
    EXPECT_EQ(outputs.sms[0].type, SmType::kOutputs);
    EXPECT_EQ(outputs.sms[0].startAddress, 0x0F00);
    EXPECT_EQ(outputs.sms[0].controlByte, 0x44);
    EXPECT_TRUE(outputs.sms[0].enable);
    EXPECT_EQ(outputs.sms[0].defaultSize, 1);
    EXPECT_EQ(outputs.sms[0].pdos, (std::vector<std::uint16_t>{0x1600, 0x1601}));
    ASSERT_EQ(outputs.rxPdos.size(), 1u);
    EXPECT_TRUE(outputs.rxPdos[0].fixed);
    EXPECT_EQ(outputs.rxPdos[0].sm, std::optional<std::uint8_t>(2));
    EXPECT_EQ(outputs.rxPdos[0].bitLength(), 4u);

    // Cyclic: LRD at 69632 in SAFEOP and OP; BRD in PREOP too.
    ASSERT_EQ(config.cyclic.size(), 1u);
    const std::vector<CyclicCmd>& cmds = config.cyclic[0].frames.at(0).cmds;
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[0].datagram.command, ecat::Command::kLrd);
    EXPECT_TRUE(cmds[0].datagram.logical);
    EXPECT_EQ(cmds[0].datagram.address(), 69632u);
    EXPECT_EQ(cmds[1].datagram.address(), 0x12000u);
    EXPECT_EQ(cmds[0].inputOffs, std::optional<std::uint32_t>(26));
    EXPECT_FALSE(cmds[0].RunsIn(ecat::AlState::kPreOp));
    EXPECT_TRUE(cmds[0].RunsIn(ecat::AlState::kSafeOp));
    EXPECT_TRUE(cmds[0].RunsIn(ecat::AlState::kOp));
    EXPECT_TRUE(cmds[2].RunsIn(ecat::AlState::kPreOp));
    EXPECT_EQ(config.processImage.inputBytes, 1536u);
}

TEST(EniModel, MailboxesAndCoeCommands) {
    fs::path soem = fs::path(ENI_SAMPLES_DIR) / "soem-sample.xml";
    if (!fs::exists(soem))
        GTEST_SKIP() << "no sample " << soem;
    auto eni = ReadEniFile(soem);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    // "Receive" in place of "Recv"; "CompleteAccess" as an attribute.
    const Mailbox& a = *eni->config.slaves[0].mailbox;
    EXPECT_EQ(a.sendStart, 0x1000);
    EXPECT_EQ(a.sendLength, 128);
    EXPECT_EQ(a.recvStart, 0x1100);
    EXPECT_EQ(a.recvLength, 128);
    EXPECT_EQ(a.pollTimeMs, std::optional<std::uint32_t>(5));
    EXPECT_EQ(a.protocols, 0x04);
    ASSERT_EQ(a.coeInitCmds.size(), 4u);
    EXPECT_EQ(a.coeInitCmds[1].index, 0x1C13);
    EXPECT_EQ(a.coeInitCmds[1].subIndex, 1);
    EXPECT_EQ(a.coeInitCmds[1].data, (Bytes{0x02, 0x1A}));
    EXPECT_TRUE(a.coeInitCmds[1].transitions.Has(Transition::kPS));
    EXPECT_FALSE(a.coeInitCmds[1].completeAccess);
    const CoeInitCmd& ca = eni->config.slaves[1].mailbox->coeInitCmds.at(0);
    EXPECT_TRUE(ca.completeAccess);
    EXPECT_EQ(ca.ccs, 2);
    EXPECT_EQ(ca.timeoutMs, 3u);
    EXPECT_EQ(ca.data, (Bytes{0x03, 0x00, 0x01, 0x16, 0x07, 0x16, 0x1C, 0x16}));

    auto five = ReadEniFile(fs::path(EXAMPLES_DIR) / "five-slaves.eni.xml");
    ASSERT_TRUE(five.has_value()) << five.error().message;
    const NetworkConfig& config = five->config;
    ASSERT_TRUE(config.mailboxStates.has_value());
    EXPECT_EQ(config.mailboxStates->startAddr, 0x09000000u);
    EXPECT_EQ(config.mailboxStates->count, 2u);
    // No DefaultSize: the single 8-bit PDO assigned makes one byte.
    const SyncManager& sm3 = config.slaves[1].processData->sms.at(0);
    EXPECT_EQ(sm3.number, 3);
    EXPECT_EQ(sm3.type, SmType::kInputs);
    EXPECT_EQ(sm3.defaultSize, 1);
    EXPECT_FALSE(config.slaves[0].mailbox.has_value());
}

// A one-slave ENI with `initCmd` on line 5 (the <InitCmd> tag) and more
// lines below it.
std::string WithInitCmd(const std::string& initCmd) {
    return "<EtherCATConfig>\n"
           "<Config>\n"
           "<Slave><Info><VendorId>1</VendorId><ProductCode>2</ProductCode>"
           "<RevisionNo>3</RevisionNo></Info>\n"
           "<InitCmds>\n"
           "<InitCmd><Transition>IP</Transition><Cmd>2</Cmd><Ado>16</Ado><Data>0100</Data>"
           "</InitCmd>\n" +
           initCmd +
           "\n</InitCmds></Slave>\n"
           "</Config></EtherCATConfig>\n";
}

TEST(EniModel, MalformedCommandsAreRefusedWithTheirPathAndLine) {
    struct Case {
        const char* name;
        std::string text;
        const char* element;
        const char* reason;
        std::size_t line;
    };
    const std::string cmd = "<InitCmd><Transition>PS</Transition><Cmd>5</Cmd>";
    const Case cases[] = {
        {"odd data", WithInitCmd(cmd + "<Data>010</Data></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Data", "odd number of hex digits", 6},
        {"not hex", WithInitCmd(cmd + "<Data>01g0</Data></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Data", "'g' is not a hex digit", 6},
        {"command 15", WithInitCmd("<InitCmd><Transition>PS</Transition><Cmd>15</Cmd></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Cmd", "not a datagram command", 6},
        {"no command", WithInitCmd("<InitCmd><Transition>PS</Transition></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]", "no <Cmd>", 6},
        {"no transition", WithInitCmd("<InitCmd><Cmd>1</Cmd></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]", "no <Transition>", 6},
        {"unknown transition",
         WithInitCmd("<InitCmd><Transition>PO</Transition><Cmd>1</Cmd></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Transition", "not a transition", 6},
        {"ado over 16 bits", WithInitCmd(cmd + "<Ado>#x10000</Ado></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Ado", "not a number from 0 to 65535", 6},
        {"cnt not a number", WithInitCmd(cmd + "<Cnt>one</Cnt></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Cnt", "not a number", 6},
        {"too long for a datagram", WithInitCmd(cmd + "<DataLength>1487</DataLength></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/DataLength", "do not fit in a datagram", 6},
        {"length disagrees with data",
         WithInitCmd(cmd + "<Data>0102</Data><DataLength>3</DataLength></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/DataLength", "does not match", 6},
        {"validate mask size",
         WithInitCmd(cmd + "<Data>0000</Data>\n<Validate><Data>0200</Data><DataMask>1f</DataMask>"
                           "</Validate></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Validate", "DataMask has 1 bytes", 7},
        {"validate odd data",
         WithInitCmd(cmd + "<Data>0000</Data>\n<Validate>\n<Data>020</Data></Validate></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/Validate/Data", "odd number of hex digits", 8},
        {"before-slave word", WithInitCmd(cmd + "<BeforeSlave>yes</BeforeSlave></InitCmd>"),
         "Config/Slave[0]/InitCmds/InitCmd[1]/BeforeSlave", "not true, false", 6},
        {"coe without index",
         "<EtherCATConfig><Config>\n<Slave><Info/><Mailbox><CoE><InitCmds>\n"
         "<InitCmd><Transition>PS</Transition><Ccs>1</Ccs><Data>00</Data></InitCmd>"
         "</InitCmds></CoE></Mailbox></Slave></Config></EtherCATConfig>",
         "Config/Slave[0]/Mailbox/CoE/InitCmds/InitCmd[0]", "no <Index>", 3},
        {"coe ccs 3",
         "<EtherCATConfig><Config>\n<Slave><Info/><Mailbox><CoE><InitCmds>\n"
         "<InitCmd><Transition>PS</Transition>\n<Ccs>3</Ccs><Index>1</Index></InitCmd>"
         "</InitCmds></CoE></Mailbox></Slave></Config></EtherCATConfig>",
         "Config/Slave[0]/Mailbox/CoE/InitCmds/InitCmd[0]/Ccs", "neither 1", 4},
        {"cyclic state",
         "<EtherCATConfig><Config><Cyclic><Frame>\n<Cmd>\n<State>RUN</State></Cmd>"
         "</Frame></Cyclic></Config></EtherCATConfig>",
         "Config/Cyclic[0]/Frame[0]/Cmd[0]/State", "not INIT, PREOP, SAFEOP or OP", 3},
        {"master command data",
         "<EtherCATConfig><Config><Master><InitCmds>\n<InitCmd><Transition>IP</Transition>"
         "<Cmd>8</Cmd><Data>xy</Data></InitCmd></InitCmds></Master></Config></EtherCATConfig>",
         "Config/Master/InitCmds/InitCmd[0]/Data", "not a hex digit", 2},
        {"source mac",
         "<EtherCATConfig><Config><Master><Info>\n<Source>0102030405</Source></Info></Master>"
         "</Config></EtherCATConfig>",
         "Config/Master/Info/Source", "not a MAC address", 2},
        {"sm type",
         "<EtherCATConfig><Config><Slave><Info/><ProcessData>\n<Sm2><Type>Out</Type></Sm2>"
         "</ProcessData></Slave></Config></EtherCATConfig>",
         "Config/Slave[0]/ProcessData/Sm2/Type", "not Outputs", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto eni = ReadEniText(c.text);
        ASSERT_FALSE(eni.has_value());
        EXPECT_EQ(eni.error().element, c.element);
        EXPECT_EQ(eni.error().line, c.line);
        EXPECT_NE(eni.error().message.find(c.element), std::string::npos) << eni.error().message;
        EXPECT_NE(eni.error().message.find(c.reason), std::string::npos) << eni.error().message;
        EXPECT_NE(eni.error().message.find("line " + std::to_string(c.line)), std::string::npos)
            << eni.error().message;
    }
}

TEST(EniModel, NumberAddressAndDataForms) {
    struct Case {
        const char* name;
        const char* fields;  // inside the second InitCmd, after Transition and Cmd
        std::uint16_t adp;
        std::uint16_t ado;
        Bytes data;
        std::optional<std::uint16_t> wkc;
    };
    const Case cases[] = {
        {"decimal", "<Adp>1001</Adp><Ado>304</Ado><Data>0000</Data>", 1001, 0x130, {0, 0}, {}},
        {"#x and 0x", "<Adp>#x03E9</Adp><Ado>0X0130</Ado><Cnt>#x3</Cnt>", 1001, 0x130, {}, 3},
        {"blanks around numbers", "<Adp> 7\n</Adp><Ado>\t16 </Ado>", 7, 16, {}, {}},
        {"negative position", "<Adp>-2</Adp><Ado>16</Ado>", 0xFFFE, 16, {}, {}},
        {"wire order", "<Data>e903</Data>", 0, 0, {0xE9, 0x03}, {}},
        {"upper case and blanks", "<Data> 0A FF\n12 </Data>", 0, 0, {0x0A, 0xFF, 0x12}, {}},
        {"0x before data", "<Data>0x01</Data>", 0, 0, {0x01}, {}},
        {"empty data", "<Data></Data>", 0, 0, {}, {}},
        {"zero bytes by length", "<DataLength>3</DataLength>", 0, 0, {0, 0, 0}, {}},
        {"data and its length", "<Data>0102</Data><DataLength>2</DataLength>", 0, 0, {1, 2}, {}},
        {"missing adp means 0", "<Ado>#x0120</Ado>", 0, 0x120, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto eni = ReadEniText(WithInitCmd(std::string("<InitCmd><Transition>IP</Transition>"
                                                       "<Cmd>4</Cmd>") +
                                           c.fields + "</InitCmd>"));
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        const Datagram& datagram = eni->config.slaves.at(0).initCmds.at(1).datagram;
        EXPECT_EQ(datagram.command, ecat::Command::kFprd);
        EXPECT_EQ(datagram.adp, c.adp);
        EXPECT_EQ(datagram.ado, c.ado);
        EXPECT_EQ(datagram.data, c.data);
        EXPECT_EQ(datagram.expectedWkc, c.wkc);
    }
}

TEST(EniModel, DisabledCommandsAreDropped) {
    auto eni = ReadEniText(
        "<EtherCATConfig><Config><Slave><Info/>"
        "<Mailbox><CoE><InitCmds>"
        "<InitCmd><Transition>PS</Transition><Index>1</Index><Disabled>true</Disabled></InitCmd>"
        "<InitCmd><Transition>PS</Transition><Index>2</Index><Disabled>0</Disabled></InitCmd>"
        "</InitCmds></CoE></Mailbox><InitCmds>"
        "<InitCmd><Transition>IP</Transition><Cmd>1</Cmd><Disabled>1</Disabled></InitCmd>"
        "<InitCmd><Transition>IP</Transition><Cmd>2</Cmd></InitCmd>"
        "</InitCmds></Slave></Config></EtherCATConfig>");
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    const Slave& slave = eni->config.slaves.at(0);
    ASSERT_EQ(slave.initCmds.size(), 1u);
    EXPECT_EQ(slave.initCmds[0].datagram.command, ecat::Command::kApwr);
    ASSERT_EQ(slave.mailbox->coeInitCmds.size(), 1u);
    EXPECT_EQ(slave.mailbox->coeInitCmds[0].index, 2);
    EXPECT_EQ(slave.mailbox->protocols, 0x04);  // a CoE element alone means CoE
}

TEST(EniModel, MasterAddressesAndEtherTypeForms) {
    struct Case {
        const char* info;
        bool loads;
        ecat::MacAddress destination;
    };
    const Case cases[] = {
        {"<Destination>0a0b0c0d0e0f</Destination>", true, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}},
        {"<Destination>0A:0B:0C:0D:0E:0F</Destination>",
         true,
         {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}},
        {"<Destination>0a-0b-0c-0d-0e-0f</Destination>",
         true,
         {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}},
        {"<EtherType>88a4</EtherType>", true, ecat::kBroadcastMac},
        {"<EtherType>a488</EtherType>", true, ecat::kBroadcastMac},
        {"<EtherType>0800</EtherType>", false, {}},
        {"<Destination>0a0b0c0d0e0f00</Destination>", false, {}},
        {"<Destination>0a0b0c0d0e0:f</Destination>", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        auto eni = ReadEniText(std::string("<EtherCATConfig><Config><Master><Info>") + c.info +
                               "</Info></Master></Config></EtherCATConfig>");
        ASSERT_EQ(eni.has_value(), c.loads);
        if (eni) {
            EXPECT_EQ(eni->config.master.destination, c.destination);
        }
    }
}

TEST(EniModel, Transitions) {
    using ecat::AlState;
    struct Case {
        AlState from, to;
        std::optional<Transition> transition;
        const char* text;
    };
    const Case cases[] = {
        {AlState::kInit, AlState::kPreOp, Transition::kIP, "IP"},
        {AlState::kPreOp, AlState::kSafeOp, Transition::kPS, "PS"},
        {AlState::kSafeOp, AlState::kOp, Transition::kSO, "SO"},
        {AlState::kOp, AlState::kSafeOp, Transition::kOS, "OS"},
        {AlState::kOp, AlState::kPreOp, Transition::kOP, "OP"},
        {AlState::kOp, AlState::kInit, Transition::kOI, "OI"},
        {AlState::kInit, AlState::kBoot, Transition::kIB, "IB"},
        {AlState::kBoot, AlState::kInit, Transition::kBI, "BI"},
        {AlState::kInit, AlState::kInit, Transition::kII, "II"},
        {AlState::kInit, AlState::kOp, std::nullopt, "IO"},
        {AlState::kPreOp, AlState::kBoot, std::nullopt, "PB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TransitionBetween(c.from, c.to), c.transition);
        EXPECT_EQ(TransitionFromText(c.text), c.transition);
        if (c.transition) {
            EXPECT_STREQ(TransitionText(*c.transition), c.text);
        }
    }
    EXPECT_EQ(TransitionFromText(" SP\n"), Transition::kSP);
    EXPECT_EQ(TransitionFromText("ip"), std::nullopt);
    EXPECT_EQ(TransitionFromText("IPS"), std::nullopt);
}

// The benchmarks' and fault tests' generated files: negative AutoIncAddr,
// a CoE element without commands, the process data without sync managers.
TEST(EniModel, GeneratedFilesLoad) {
    for (bool shaped : {false, true}) {
        SCOPED_TRACE(shaped ? "configurator-shaped" : "identities only");
        auto eni = ReadEniText(benchdata::EniText(3, shaped));
        ASSERT_TRUE(eni.has_value()) << eni.error().message;
        ASSERT_EQ(eni->config.slaves.size(), 3u);
        const Slave& third = eni->config.slaves[2];
        EXPECT_EQ(third.physAddr, 1003);
        EXPECT_EQ(third.autoIncAddr, 0xFFFE);
        EXPECT_EQ(third.identity, (SlaveIdentity{2, 0x1002, 0x00100002}));
        EXPECT_EQ(third.initCmds.size(), shaped ? 3u : 0u);
        EXPECT_EQ(third.mailbox.has_value(), shaped);
        if (shaped) {
            EXPECT_EQ(third.mailbox->protocols, 0x04);
            EXPECT_TRUE(third.mailbox->coeInitCmds.empty());
            EXPECT_EQ(third.initCmds[1].datagram.adp, 1003);
            EXPECT_TRUE(third.initCmds[1].transitions.Has(Transition::kPS));
            ASSERT_TRUE(third.processData && third.processData->send);
            EXPECT_EQ(third.processData->send->bitStart, 8u * (26 + 2 * 2));
            EXPECT_EQ(third.processData->txPdos.at(0).bitLength(), 16u);
        }
    }
}

}  // namespace
}  // namespace parvane::eni
