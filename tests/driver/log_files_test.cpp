#include "driver/log_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Folder {
    fs::path path;
    Folder() {
        path = fs::temp_directory_path() / ("log-files-" + std::to_string(::getpid()));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
    // A file written `age` minutes ago.
    void Add(const std::string& name, int age) const {
        std::ofstream(path / name) << "x\n";
        fs::last_write_time(path / name,
                            fs::file_time_type::clock::now() - std::chrono::minutes(age));
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path))
            names.insert(entry.path().filename().string());
        return names;
    }
};

TEST(KeepNewestLogs, RemovesOnlyTheOldestLogsOfTheProgram) {
    const struct {
        const char* name;
        std::size_t keep;
        std::set<std::string> gone;
    } cases[] = {
        {"older than the kept ones go", 2, {"lomadyn.rta.10.log", "lomadyn.rta.9.log"}},
        {"as many as kept: none go", 4, {}},
        {"more kept than there are", 10, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Folder folder;
        folder.Add("lomadyn.rta.10.log", 40);
        folder.Add("lomadyn.rta.9.log", 30);
        folder.Add("lomadyn.rta.200.log", 20);
        folder.Add("lomadyn.rta.7.log", 0);
        // Never touched: other programs, other names, however old.
        folder.Add("parvane.5.log", 90);
        folder.Add("lomadyn.rta.x.log", 90);
        folder.Add("lomadyn.rta.log", 90);
        folder.Add("lomadyn.rta.5.log.old", 90);
        folder.Add("other-lomadyn.rta.5.log", 90);
        std::set<std::string> expected = folder.Names();
        for (const auto& name : c.gone)
            expected.erase(name);
        parvane::driver::KeepNewestLogs(folder.path, "/usr/lib/parvane/lomadyn.rta", c.keep);
        EXPECT_EQ(folder.Names(), expected);
    }
}

TEST(KeepNewestLogs, AMissingFolderOrNoProgramNameIsNoFault) {
    parvane::driver::KeepNewestLogs("/nonexistent/log", "lomadyn.rta", 1);
    Folder folder;
    folder.Add("lomadyn.rta.1.log", 1);
    parvane::driver::KeepNewestLogs(folder.path, "", 0);
    EXPECT_EQ(folder.Names().size(), 1u);
}

}  // namespace
