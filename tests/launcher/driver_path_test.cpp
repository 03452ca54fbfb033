#include "launcher/driver_path.h"

#include <string>
#include <vector>

#include "tests/launcher/launcher_test_support.h"

namespace {

constexpr std::uint32_t kSize = 4096;

struct PathCase {
    std::string source;  // the INI file's path, or the program's own path
    std::string path;    // empty: the derivation fails with 33
};

class DeriveDriverPathTest : public LauncherTest {
  protected:
    // The derived path, or the empty text after checking the failure's form.
    std::string Derive(std::uint32_t expectedFailure = 33) {
        std::vector<char> buffer(kSize, '\0');
        testing::internal::CaptureStdout();
        std::uint32_t status = DeriveDriverPath(buffer.data(), kSize);
        std::string out = testing::internal::GetCapturedStdout();
        if (status == 0) {
            EXPECT_EQ(out, "");
            return std::string(buffer.data());
        }
        EXPECT_EQ(status, expectedFailure);
        EXPECT_EQ(LastStatus, status);
        char line[128];
        std::snprintf(line, sizeof line,
                      "* ERROR. Driver RTA path acquisition failed. StatusCode[%04XH]\n", status);
        EXPECT_EQ(out, line);
        return "";
    }
};

TEST_F(DeriveDriverPathTest, TakesTheDriverFromOneFolderAboveTheIniFile) {
    const std::string deep = "/" + std::string(4000, 'd') + "/config/master.ini";
    // The cut path plus "lomadyn.rta" no longer fits although the text does.
    const std::string grows = "\\" + std::string(4092, 'a') + "\\\\";
    const PathCase cases[] = {
        {"C:\\Master\\Config\\master.ini", "C:\\Master\\lomadyn.rta"},
        {"/opt/master/config/master.ini", "/opt/master/lomadyn.rta"},
        {"config/master.ini/x", "config/lomadyn.rta"},
        {"/config/master.ini", "/lomadyn.rta"},
        {deep, "/" + std::string(4000, 'd') + "/lomadyn.rta"},
        {"C:\\master.ini", ""},
        {"master.ini", ""},
        {"/master.ini", ""},
        {"C:/Master/Config\\master.ini", ""},
        {"", ""},
        {"/a/b/" + std::string(4091, 'x'), ""},  // 4096 characters: no room for the NUL
        {grows, ""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.source.substr(0, 60));
        SetIniFile(c.source.c_str());
        LastStatus = 0;
        EXPECT_EQ(Derive(), c.path);
    }
}

TEST_F(DeriveDriverPathTest, WithoutTheVariableTakesTheDriverBesideTheRunningProgram) {
    SetIniFile(nullptr);
    const PathCase cases[] = {
        {"/opt/tool/bin/parvane", "/opt/tool/bin/lomadyn.rta"},
        {"C:\\Tool\\parvane.rta", "C:\\Tool\\lomadyn.rta"},
        {"/opt/tool\\odd/parvane", "/opt/tool\\odd/lomadyn.rta"},
        {"parvane", "lomadyn.rta"},
        {"/" + std::string(4083, 'b') + "/parvane", ""},  // folder plus file name too long
        {"/" + std::string(4094, 'b'), ""},               // may have been cut by the platform
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.source.substr(0, 60));
        fake::Reset();
        fake::script().moduleFilename = c.source;
        EXPECT_EQ(Derive(), c.path);  // the fake knows only the program's own module
    }
}

TEST_F(DeriveDriverPathTest, AFailingModuleLookupReportsThePlatformsError) {
    SetIniFile(nullptr);
    fake::script().moduleFilename = "";
    fake::script().failureError = 0x0007;
    EXPECT_EQ(Derive(0x0007), "");

    // A platform that reports no error still does not make the failure a success.
    fake::Reset();
    fake::script().moduleFilename = "";
    fake::script().failureError = 0;
    EXPECT_EQ(Derive(0x0002), "");
}

}  // namespace
