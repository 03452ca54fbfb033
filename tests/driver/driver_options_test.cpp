#include "driver/driver_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parvane::driver {
namespace {

DriverOptions Parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    return ParseDriverOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(DriverOptions, TakesEniAndDescriptionAndIgnoresOtherWords) {
    auto options = Parse({"lomadyn.rta", "-v", "3", "-eni=net.xml", "-x=1", "-sim=net.json"});
    EXPECT_EQ(options.eniPath, "net.xml");
    EXPECT_EQ(options.descriptionPath, "net.json");
}

TEST(DriverOptions, QuotesAreRemovedLikeTheToolDoes) {
    EXPECT_EQ(Parse({"d", "-eni=\"C:\\My Files\\net.xml\""}).eniPath, "C:\\My Files\\net.xml");
    EXPECT_EQ(Parse({"d", "-eni=\"open.xml"}).eniPath, "open.xml");
    EXPECT_EQ(Parse({"d", "-eni=close.xml\""}).eniPath, "close.xml\"");
    EXPECT_EQ(Parse({"d", "-eni=\""}).eniPath, "");
    EXPECT_EQ(Parse({"d", "-sim=\"a b.json\""}).descriptionPath, "a b.json");
}

TEST(DriverOptions, LaterValueWinsAndProgramNameIsNotAnOption) {
    EXPECT_EQ(Parse({"-eni=zero.xml", "-eni=one.xml", "-eni=two.xml"}).eniPath, "two.xml");
    EXPECT_EQ(Parse({"-eni=zero.xml"}).eniPath, "");
    EXPECT_EQ(Parse({"d", "-eni="}).eniPath, "");
    EXPECT_EQ(Parse({"d", "-ENI=x.xml", "-enix=y"}).eniPath, "");
}

TEST(DriverOptions, TakesTheInterfaceAndTheRecording) {
    auto options = Parse({"d", "-nic=eth1", "-pcap=\"/tmp/a b.pcap\"", "-eni=n.xml"});
    EXPECT_EQ(options.nic, "eth1");
    EXPECT_EQ(options.pcapPath, "/tmp/a b.pcap");
    EXPECT_EQ(Parse({"d", "-nic=eth1", "-nic=simulated"}).nic, "simulated");
    EXPECT_EQ(Parse({"d", "-NIC=eth1", "-nicx"}).nic, "");
    EXPECT_EQ(Parse({"d"}).pcapPath, "");
}

}  // namespace
}  // namespace parvane::driver
