#include "launcher/driver_command_line_compose.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSize = 4096;

struct ComposeCase {
    const char* eni;
    const char* old;  // null: no old command line
    const char* expected;
};

std::string Compose(const std::string& eni, const char* old, bool* fits = nullptr) {
    std::vector<char> buffer(kSize, '\0');
    bool ok = ComposeDriverCommandLine(eni.c_str(), old, buffer.data(), kSize);
    if (fits != nullptr) {
        *fits = ok;
    }
    return std::string(buffer.data());
}

TEST(ComposeDriverCommandLine, CarriesTheOldOptionsOverBehindTheNewEniOption) {
    const ComposeCase cases[] = {
        {"-eni=new.xml", nullptr, "-eni=new.xml"},
        {"-eni=new.xml", "-eni=old.xml -v 3", "-eni=new.xml -v 3"},
        {"-eni=new.xml", "-v 3 -eni=old.xml -w", "-eni=new.xml -v 3 -w"},
        {"-eni=new.xml", "-v 3", "-eni=new.xml -v 3"},
        {"-eni=new.xml", "-eni=old.xml", "-eni=new.xml "},
        // A driver started without options.
        {"-eni=new.xml", "", "-eni=new.xml "},
        {"", nullptr, ""},
        // New path with blanks goes between double quotes.
        {"-eni=C:\\My Files\\net.xml", nullptr, "-eni=\"C:\\My Files\\net.xml\""},
        {"-eni=/a b/new.xml", "-eni=\"/old dir/old.xml\" -sim=x.json -v",
         "-eni=\"/a b/new.xml\" -sim=x.json -v"},
        // A quoted old value without blanks is dropped whole as well.
        {"-eni=new.xml", "-eni=\"old.xml\" -v", "-eni=new.xml -v"},
        {"-eni=new.xml", "-v -eni=\"/old dir/o.xml\" -w 2", "-eni=new.xml -v -w 2"},
        // The quote that closes the value is the first one a blank follows.
        {"-eni=new.xml", "-eni=\"a\"b c\" -v", "-eni=new.xml -v"},
        // A quoted value never closed: nothing behind it survives.
        {"-eni=new.xml", "-eni=\"unclosed -v", "-eni=new.xml "},
        // A quoted option before the old ENI option is kept as it is.
        {"-eni=new.xml", "-sim=\"x y.json\" -eni=old.xml", "-eni=new.xml -sim=\"x y.json\" "},
    };
    for (const ComposeCase& c : cases) {
        SCOPED_TRACE(std::string("eni=[") + c.eni + "] old=[" + (c.old ? c.old : "(none)") + "]");
        bool fits = false;
        EXPECT_EQ(Compose(c.eni, c.old, &fits), c.expected);
        EXPECT_TRUE(fits);
    }
}

TEST(ComposeDriverCommandLine, ALineThatWouldNotFitIsRefusedAndLeavesTheBufferEmpty) {
    const std::string longPath(4090, 'a');
    const std::string oldOptions(4088, 'o');  // no "-eni=" in it
    struct LengthCase {
        std::string eni;
        std::string old;
        bool hasOld;
        bool fits;
    };
    const LengthCase cases[] = {
        {"-eni=" + longPath, "", false, true},  // 4095 characters and the NUL
        {"-eni=" + longPath.substr(0, 4089) + " ", "", false, false},  // quotes make 4097
        {"-eni=x", oldOptions, true, true},                            // 6 + 1 + 4088
        {"-eni=x", oldOptions + "o", true, false},
        {"-eni=x", "-v " + std::string(4090, 'v') + " -eni=old.xml -w", true, false},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE("eni length " + std::to_string(c.eni.size()) + ", old length " +
                     std::to_string(c.old.size()));
        std::vector<char> buffer(kSize, 'Z');
        bool fits = ComposeDriverCommandLine(c.eni.c_str(), c.hasOld ? c.old.c_str() : nullptr,
                                             buffer.data(), kSize);
        EXPECT_EQ(fits, c.fits);
        if (fits) {
            std::string line(buffer.data());
            EXPECT_EQ(line.size(), c.eni.size() + (c.hasOld ? 1 + c.old.size() : 0));
        } else {
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(kSize, '\0'));
        }
    }
}

}  // namespace
