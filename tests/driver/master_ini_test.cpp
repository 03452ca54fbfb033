// The master INI file's Adapter= in [Master]: what a few strict lines give,
// and which lines refuse the file with their number.
#include "driver/master_ini.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace parvane::driver {
namespace {

TEST(MasterIni, TheAdapterOfTheMasterSection) {
    struct Case {
        const char* text;
        std::optional<std::string> adapter;
    };
    const Case cases[] = {
        {"[Master]\nAdapter=eth1\n", "eth1"},
        {"; comment\n# comment\n\n[Master]\r\n  Adapter = enp3s0  \r\nCycleTime=1000\r\n",
         "enp3s0"},
        {"[master]\nadapter=\"eth 2\"\n", "eth 2"},
        {"[Master]\nAdapter=simulated", "simulated"},
        {"[Other]\nAdapter=eth1\n[Master]\nCycleTime=1000\n", std::nullopt},
        {"Adapter=eth1\n", std::nullopt},  // outside any section
        {"[Master]\nAdapter=\n", std::nullopt},
        {"", std::nullopt},
        {"[Master]\nAdapter=eth1\n[Tuning]\nAdapter=eth2\n", "eth1"},
    };
    for (const Case& c : cases) {
        auto adapter = ReadMasterAdapterText(c.text);
        ASSERT_TRUE(adapter) << c.text << ": " << adapter.error().message;
        EXPECT_EQ(*adapter, c.adapter) << c.text;
    }
}

TEST(MasterIni, AMalformedLineRefusesTheFileWithItsNumber) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[Master]\nAdapter eth1\n", "line 2: neither a [section], a key=value line nor a comment"},
        {"; c\n[Master\nAdapter=eth1\n", "line 2: a section needs [Name]"},
        {"[]\n", "line 1: a section needs [Name]"},
        {"[Master]\n=eth1\n", "line 2: a value without a key"},
        {"[Master]\nAdapter=eth1\n\nAdapter=eth2\n",
         "line 4: Adapter given again (first on line 2)"},
        {"[Master]\r\nAdapter=eth1\r\nx\r\n",
         "line 3: neither a [section], a key=value line nor a comment"},
    };
    for (const Case& c : cases) {
        auto adapter = ReadMasterAdapterText(c.text);
        ASSERT_FALSE(adapter) << c.text;
        EXPECT_EQ(adapter.error().message, c.message) << c.text;
    }
}

TEST(MasterIni, AMissingFileIsNoAdapterAndAFolderIsRefused) {
    auto missing = ReadMasterAdapter("/nonexistent/config/master.ini");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(*missing);
    auto folder = ReadMasterAdapter(::testing::TempDir());
    ASSERT_FALSE(folder);

    const auto path = std::filesystem::path(::testing::TempDir()) /
                      ("master_ini_" + std::to_string(::getpid()) + ".ini");
    std::ofstream(path) << "[Master]\nAdapter=veth7\n";
    auto read = ReadMasterAdapter(path);
    std::filesystem::remove(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, "veth7");
}

TEST(MasterIni, TheVariableNamesTheFile) {
    ::setenv("ECAT_MASTER_INI_FILE", "/opt/master/config/master.ini", 1);
    EXPECT_EQ(MasterIniPath(), "/opt/master/config/master.ini");
    ::unsetenv("ECAT_MASTER_INI_FILE");
    EXPECT_EQ(MasterIniPath().filename(), "master.ini");
    EXPECT_EQ(MasterIniPath().parent_path().filename(), "config");
}

}  // namespace
}  // namespace parvane::driver
