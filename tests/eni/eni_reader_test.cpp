#include "eni/eni_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>

namespace parvane::eni {
namespace {

std::string Slave(const std::string& vendor, const std::string& product,
                  const std::string& revision) {
    return "<Slave><Info><Name>s</Name><VendorId>" + vendor + "</VendorId><ProductCode>" + product +
           "</ProductCode><RevisionNo>" + revision + "</RevisionNo></Info></Slave>";
}

std::string Eni(const std::string& configBody) {
    return "<?xml version=\"1.0\"?>\n<EtherCATConfig Version=\"1.3\">\n<Config>\n" + configBody +
           "\n</Config>\n</EtherCATConfig>\n";
}

TEST(EniReader, NumbersInEveryStyleAndOrderOfInfoChildren) {
    std::string text =
        Eni(Slave("2", "#x044c2c52", "0x00110000") + Slave(" #X2 ", "\n 0X07D43052\n", "1114112") +
            "<Slave><Info><RevisionNo>3</RevisionNo><ProductCode>#x10</ProductCode>"
            "<VendorId>4294967295</VendorId></Info></Slave>");
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 3u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{2, 0x044C2C52, 0x00110000}));
    EXPECT_EQ(eni->slaves[1], (SlaveIdentity{2, 0x07D43052, 1114112}));
    EXPECT_EQ(eni->slaves[2], (SlaveIdentity{0xFFFFFFFF, 0x10, 3}));

    // Signed decimals, as some exporters write 32-bit fields.
    eni = ReadEniText(Eni(Slave("-1", "14614238", "-37031252")));
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    EXPECT_EQ(eni->slaves.at(0), (SlaveIdentity{0xFFFFFFFF, 14614238, 0xFDCAF2AC}));
}

TEST(EniReader, OnlySlavesDirectlyUnderConfigCount) {
    std::string text =
        "<EtherCATConfig><Slave><Info><VendorId>9</VendorId></Info></Slave><Config>"
        "<Master><Slave><Info><VendorId>9</VendorId></Info></Slave></Master>"
        "<Cyclic><Frame><Cmd><Slave>1</Slave></Cmd></Frame></Cyclic>" +
        Slave("1", "2", "3") +
        "<!-- <Slave><Info><VendorId>9</VendorId></Info></Slave> -->"
        "<ProcessImage><Inputs><Variable><Name>Slave_1.In</Name></Variable>"
        "<Slave><Info><VendorId>9</VendorId></Info></Slave></Inputs></ProcessImage>" +
        Slave("4", "5", "6") + "<BeforeSlave>true</BeforeSlave></Config></EtherCATConfig>";
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 2u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{1, 2, 3}));
    EXPECT_EQ(eni->slaves[1], (SlaveIdentity{4, 5, 6}));
}

TEST(EniReader, NamespacePrefixesAreIgnored) {
    std::string text =
        "<e:EtherCATConfig xmlns:e=\"urn:x\"><e:Config><e:Slave><e:Info>"
        "<e:VendorId>2</e:VendorId><e:ProductCode>#x3</e:ProductCode>"
        "<e:RevisionNo>4</e:RevisionNo></e:Info></e:Slave></e:Config></e:EtherCATConfig>";
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 1u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{2, 3, 4}));

    std::string defaultNamespace = "<EtherCATConfig xmlns=\"urn:x\"><Config>" +
                                   Slave("7", "8", "9") + "</Config></EtherCATConfig>";
    EXPECT_EQ(ReadEniText(defaultNamespace)->slaves.size(), 1u);
}

TEST(EniReader, ByteOrderMarkAndEncodingLabels) {
    auto bom = ReadEniText("\xEF\xBB\xBF" + Eni(Slave("1", "2", "3")));
    ASSERT_TRUE(bom.has_value()) << bom.error().message;
    EXPECT_EQ(bom->slaves.size(), 1u);

    // A Latin-1 byte in a name must not disturb the file whatever the label.
    for (const char* label : {"iso-8859-1", "ISO8859-1", "ISO_8859-1", "latin1", "windows-1252"}) {
        std::string text = std::string("<?xml version=\"1.0\" encoding=\"") + label +
                           "\"?>\n<EtherCATConfig><Config><Slave><Info><Name>K\xFC"
                           "hler</Name><VendorId>5</VendorId><ProductCode>6</ProductCode>"
                           "<RevisionNo>7</RevisionNo></Info></Slave></Config></EtherCATConfig>";
        auto eni = ReadEniText(text);
        ASSERT_TRUE(eni.has_value()) << label << ": " << eni.error().message;
        ASSERT_EQ(eni->slaves.size(), 1u) << label;
        EXPECT_EQ(eni->slaves[0], (SlaveIdentity{5, 6, 7})) << label;
    }
}

TEST(EniReader, Utf16WithByteOrderMark) {
    std::string ascii = Eni(Slave("1", "2", "3"));
    std::string utf16 = "\xFF\xFE";
    for (char c : ascii) {
        utf16 += c;
        utf16 += '\0';
    }
    auto eni = ReadEniText(utf16);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    EXPECT_EQ(eni->slaves, (std::vector<SlaveIdentity>{{1, 2, 3}}));
}

TEST(EniReader, EncryptedRootWithPlainConfig) {
    std::string text = "<EncryptedEtherCATConfig><Header>abc</Header><Config>" +
                       Slave("1", "2", "3") + "</Config></EncryptedEtherCATConfig>";
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    EXPECT_EQ(eni->slaves.size(), 1u);
}

TEST(EniReader, MissingIdentityElementsReadAsZeroAndAreNoted) {
    std::string text = Eni("<Slave><Info><VendorId>2</VendorId></Info></Slave><Slave/>");
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 2u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{2, 0, 0}));
    EXPECT_EQ(eni->slaves[1], (SlaveIdentity{0, 0, 0}));
    EXPECT_EQ(eni->notes.missingElements, 5u);
    ASSERT_EQ(eni->notes.lines.size(), 5u);
    EXPECT_NE(eni->notes.lines[0].find("ProductCode"), std::string::npos) << eni->notes.lines[0];
    EXPECT_NE(eni->notes.lines[2].find("slave 1"), std::string::npos) << eni->notes.lines[2];
}

TEST(EniReader, EmptyConfigHasNoSlaves) {
    auto eni = ReadEniText(Eni("<Master/>"));
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    EXPECT_TRUE(eni->slaves.empty());
}

struct Refusal {
    const char* name;
    std::string text;
    std::vector<const char*> inMessage;
    std::size_t line;     // where the error says the fault lies
    std::string element;  // the offending element's path, empty for a parse error
};

TEST(EniReader, RefusedFilesSayWhyAndWhere) {
    const Refusal cases[] = {
        {"not XML", "this is not xml", {"parse error", "line 1"}, 1, ""},
        {"empty", "", {"parse error"}, 1, ""},
        {"unclosed on line 4",
         "<EtherCATConfig>\n<Config>\n<Slave>\n<Info></Slave>\n",
         {"parse error", "line 4"},
         4,
         ""},
        {"ESI root",
         "<EtherCATInfo><Config/></EtherCATInfo>",
         {"EtherCATInfo", "not an ENI"},
         1,
         "EtherCATInfo"},
        {"other root", "<Network><Config/></Network>", {"<Network>"}, 1, "Network"},
        {"no Config",
         "\n<EtherCATConfig><Slave/></EtherCATConfig>",
         {"Config"},
         2,
         "EtherCATConfig"},
        {"garbage number",
         Eni(Slave("1", "2", "3") + "\n" + Slave("1", "two", "3")),
         {"slave 1", "ProductCode", "\"two\"", "line 5"},
         5,
         "Config/Slave[1]/Info/ProductCode"},
        {"overflow",
         Eni(Slave("4294967296", "2", "3")),
         {"slave 0", "VendorId"},
         4,
         "Config/Slave[0]/Info/VendorId"},
        {"hex overflow",
         Eni(Slave("1", "2", "#x100000000")),
         {"RevisionNo"},
         4,
         "Config/Slave[0]/Info/RevisionNo"},
        {"empty number",
         Eni(Slave("1", "", "3")),
         {"ProductCode"},
         4,
         "Config/Slave[0]/Info/ProductCode"},
        {"negative beyond 32 bits",
         Eni(Slave("-2147483649", "2", "3")),
         {"VendorId"},
         4,
         "Config/Slave[0]/Info/VendorId"},
        {"negative hex",
         Eni(Slave("1", "-#x2", "3")),
         {"ProductCode"},
         4,
         "Config/Slave[0]/Info/ProductCode"},
    };
    for (const Refusal& c : cases) {
        auto eni = ReadEniText(c.text);
        ASSERT_FALSE(eni.has_value()) << c.name;
        for (const char* part : c.inMessage) {
            EXPECT_NE(eni.error().message.find(part), std::string::npos)
                << c.name << ": \"" << eni.error().message << "\" lacks " << part;
        }
        EXPECT_EQ(eni.error().line, c.line) << c.name;
        EXPECT_EQ(eni.error().element, c.element) << c.name;
    }
}

TEST(EniReader, NotesMadeBeforeARefusalAreKept) {
    auto eni = ReadEniText(
        Eni("<Slave><Info><VendorId>1</VendorId></Info></Slave>" + Slave("x", "2", "3")));
    ASSERT_FALSE(eni.has_value());
    EXPECT_EQ(eni.error().notes.missingElements, 2u);
    ASSERT_EQ(eni.error().notes.lines.size(), 2u);
    EXPECT_NE(eni.error().notes.lines[0].find("ProductCode"), std::string::npos);
}

TEST(EniReader, MissingFileIsRefused) {
    auto eni = ReadEniFile("/nonexistent/folder/net.xml");
    EXPECT_FALSE(eni.has_value());
    EXPECT_NE(eni.error().message.find("/nonexistent/folder/net.xml"), std::string::npos)
        << eni.error().message;
    auto folder = ReadEniFile("/");
    EXPECT_FALSE(folder.has_value());
    EXPECT_FALSE(ReadEniFile("/dev/zero").has_value());
}

TEST(EniReader, AFifoIsRefusedWithoutWaitingForAWriter) {
    char folder[] = "/tmp/eni_fifo_XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    std::string fifo = std::string(folder) + "/net.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto eni = ReadEniFile(fifo);
    EXPECT_FALSE(eni.has_value());
    EXPECT_NE(eni.error().message.find("not a regular file"), std::string::npos)
        << eni.error().message;
    ::unlink(fifo.c_str());
    ::rmdir(folder);
}

// A configurator-shaped file of 10,000 slaves, the identity in the middle of
// every slave's Info, with process data and init commands around it.
std::string LargeEni(int count) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<EtherCATConfig>\n<Config>\n"
        "<Master><Info><Name>m</Name></Info></Master>\n";
    for (int i = 0; i < count; ++i) {
        char slave[1024];
        std::snprintf(slave, sizeof slave,
                      "<Slave>\n<Info>\n<Name><![CDATA[Term %d]]></Name>\n<PhysAddr>%d</PhysAddr>\n"
                      "<VendorId>%d</VendorId>\n<ProductCode>#x%08x</ProductCode>\n"
                      "<RevisionNo>#x%08x</RevisionNo>\n</Info>\n<ProcessData><Recv><BitStart>%d"
                      "</BitStart><BitLength>8</BitLength></Recv></ProcessData>\n<InitCmds>"
                      "<InitCmd><Transition>IP</Transition><Cmd>5</Cmd><Adp>%d</Adp><Ado>#x0120"
                      "</Ado><Data>0200</Data></InitCmd></InitCmds>\n</Slave>\n",
                      i, 1001 + i, 2, 0x0B5A3052 + i, 0x00110000 + i, 8 * i, 1001 + i);
        text += slave;
    }
    return text + "<Cyclic/>\n</Config>\n</EtherCATConfig>\n";
}

TEST(EniReader, TenThousandSlaves) {
    std::string text = LargeEni(10000);
    auto eni = ReadEniText(text);
    ASSERT_TRUE(eni.has_value()) << eni.error().message;
    ASSERT_EQ(eni->slaves.size(), 10000u);
    EXPECT_EQ(eni->slaves[0], (SlaveIdentity{2, 0x0B5A3052, 0x00110000}));
    EXPECT_EQ(eni->slaves[9999], (SlaveIdentity{2, 0x0B5A3052 + 9999, 0x00110000 + 9999}));
}

// A long file is read on two threads; what it says must not depend on that:
// the refusal is the first in document order, the notes are those made up to
// it, in order, the first 20 of them written out.
TEST(EniReader, LongFilesReportAsOnePassWould) {
    struct Case {
        const char* what;
        std::map<int, std::string> slaves;  // replaced slaves by position
        std::string before, after;          // elements around the slaves
        const char* element;                // refused element, "" for none
        std::size_t missing;                // notes counted (lines: at most 20)
    };
    const std::string noRevision =
        "<Slave><Info><VendorId>1</VendorId><ProductCode>2</ProductCode></Info></Slave>";
    const std::string badVendor = Slave("x", "2", "3");
    const std::string badCmd =
        "<Slave><Info><VendorId>1</VendorId><ProductCode>2</ProductCode>"
        "<RevisionNo>3</RevisionNo></Info><InitCmds><InitCmd>"
        "<Transition>IP</Transition><Cmd>99</Cmd></InitCmd></InitCmds></Slave>";
    const std::string badCyclic = "<Cyclic><CycleTime>x</CycleTime></Cyclic>";
    std::map<int, std::string> spread;
    for (int p = 5; p < 600; p += 20)
        spread[p] = noRevision;
    const Case cases[] = {
        {"a refusal in the second half keeps the notes of both",
         {{10, noRevision}, {400, noRevision}, {450, badVendor}},
         "",
         "",
         "Config/Slave[450]/Info/VendorId",
         2},
        {"the earlier of two refusals",
         {{100, badVendor}, {500, badCmd}},
         "",
         "",
         "Config/Slave[100]/Info/VendorId",
         0},
        {"a slave before a bad Cyclic",
         {{500, badCmd}},
         "",
         badCyclic,
         "Config/Slave[500]/InitCmds/InitCmd[0]/Cmd",
         0},
        {"a bad Cyclic before the slaves",
         {{500, badCmd}},
         badCyclic,
         "",
         "Config/Cyclic[0]/CycleTime",
         0},
        {"30 notes over both halves", spread, "", "", "", 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string body = c.before;
        for (int p = 0; p < 600; ++p) {
            auto replaced = c.slaves.find(p);
            body +=
                replaced != c.slaves.end() ? replaced->second : Slave("1", "2", std::to_string(p));
        }
        auto eni = ReadEniText(Eni(body + c.after));
        const Notes& notes = eni ? eni->notes : eni.error().notes;
        if (*c.element == '\0') {
            ASSERT_TRUE(eni.has_value()) << eni.error().message;
            EXPECT_EQ(eni->slaves[599], (SlaveIdentity{1, 2, 599}));
        } else {
            ASSERT_FALSE(eni.has_value());
            EXPECT_EQ(eni.error().element, c.element) << eni.error().message;
        }
        EXPECT_EQ(notes.missingElements, c.missing);
        ASSERT_EQ(notes.lines.size(), std::min<std::size_t>(c.missing, 20));
        int last = -1;
        for (const std::string& line : notes.lines) {
            const int position = std::stoi(line.substr(line.find("slave ") + 6));
            EXPECT_GT(position, last) << line;
            last = position;
        }
    }
}

TEST(EniReader, MoreSlavesThanACountCanHoldIsRefused) {
    std::string text = "<EtherCATConfig><Config>";
    for (int i = 0; i < 65536; ++i)
        text += "<Slave/>";
    text += "</Config></EtherCATConfig>";
    auto eni = ReadEniText(text);
    EXPECT_FALSE(eni.has_value());
    EXPECT_NE(eni.error().message.find("65535"), std::string::npos) << eni.error().message;
}

}  // namespace
}  // namespace parvane::eni
