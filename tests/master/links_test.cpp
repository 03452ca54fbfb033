// The pcap recording (read back with libpcap itself) and the raw socket
// link's refusals that need no privileges to observe.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "master/log.h"
#include "master/pcap_link.h"
#include "master/raw_socket_link.h"
#include "tests/support/scripted_link.h"

namespace parvane::master {
namespace {

using testsupport::Answered;
using testsupport::Frame;
using testsupport::ScriptedLink;

std::vector<Frame> ReadRecording(const std::string& path, int& linkType) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* file = pcap_open_offline(path.c_str(), error);
    EXPECT_NE(file, nullptr) << error;
    std::vector<Frame> frames;
    if (file == nullptr)
        return frames;
    linkType = pcap_datalink(file);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(file, &header, &data) == 1)
        frames.emplace_back(data, data + header->caplen);
    pcap_close(file);
    return frames;
}

TEST(PcapLink, RecordsEveryFrameSentAndReceivedInOrder) {
    const std::string path =
        ::testing::TempDir() + "pcap_link_" + std::to_string(::getpid()) + ".pcap";
    ScriptedLink inner([](const Frame& sent, int number, std::deque<Frame>& out) {
        if (number == 0)
            out.push_back(Answered(sent, 2));
    });
    Frame first(60, 0);
    first[12] = 0x88;
    first[13] = 0xA4;
    Frame second = first;
    second[20] = 0x42;
    {
        auto link = PcapLink::Open(inner, path);
        ASSERT_TRUE(link) << ErrorText(link.error());
        ASSERT_TRUE((*link)->Send(first));
        std::array<std::uint8_t, 2048> buffer{};
        auto got = (*link)->Receive(buffer, ecat::Link::Clock::now());
        ASSERT_TRUE(got);
        ASSERT_TRUE((*link)->Send(second));
        auto none = (*link)->Receive(buffer, ecat::Link::Clock::now());
        EXPECT_FALSE(none) << "a timeout records nothing";
        EXPECT_EQ((*link)->framesRecorded(), 3u);
    }
    int linkType = -1;
    std::vector<Frame> frames = ReadRecording(path, linkType);
    std::filesystem::remove(path);
    EXPECT_EQ(linkType, DLT_EN10MB);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], first);
    EXPECT_EQ(frames[1], Answered(first, 2));
    EXPECT_EQ(frames[2], second);
}

std::string gLogged;

TEST(PcapLink, AFileThatCannotBeWrittenIsRefusedWithItsName) {
    ScriptedLink inner([](const Frame&, int, std::deque<Frame>&) {});
    SetLogSink([](const char* line) { gLogged += line; });
    auto link = PcapLink::Open(inner, "/nonexistent-folder/x.pcap");
    SetLogSink(nullptr);
    ASSERT_FALSE(link);
    EXPECT_NE(gLogged.find("/nonexistent-folder/x.pcap"), std::string::npos) << gLogged;
}

TEST(RawSocketLink, AnInterfaceThatDoesNotExistIsNamedInTheRefusal) {
    for (const char* name : {"pvnone0", "", "a-name-longer-than-ifnamsiz"}) {
        auto link = RawSocketLink::Open(name);
        ASSERT_FALSE(link) << name;
        EXPECT_EQ(link.error(), Errc::kNoInterface) << name;
        const std::string refusal = RawSocketLink::Refusal(link.error(), name);
        EXPECT_NE(refusal.find(name), std::string::npos) << refusal;
    }
}

TEST(RawSocketLink, WithoutCapNetRawTheRefusalSaysHowToGrantIt) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root holds CAP_NET_RAW";
    auto link = RawSocketLink::Open("lo");
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error(), Errc::kNoPermission);
    EXPECT_NE(RawSocketLink::Refusal(link.error(), "lo").find("setcap cap_net_raw+ep"),
              std::string::npos);
}

}  // namespace
}  // namespace parvane::master
