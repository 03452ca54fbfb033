// The master's log lines kept for a test's assertions: from construction to
// destruction every line is kept with the master's time it was logged at.
// The sink is the process's one: one KeptLog at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "master/dc_setup.h"
#include "master/log.h"

namespace testsupport {

struct LogLine {
    std::string text;
    std::uint64_t masterTimeNs = 0;
};

class KeptLog {
  public:
    KeptLog() {
        Clear();
        parvane::master::SetLogSink(&Keep);
    }
    ~KeptLog() { parvane::master::SetLogSink(nullptr); }
    KeptLog(const KeptLog&) = delete;
    KeptLog& operator=(const KeptLog&) = delete;

    // The lines that hold `part` ("": every line), in order.
    static std::vector<LogLine> Lines(const std::string& part = "") {
        std::lock_guard lock(mutex_);
        std::vector<LogLine> found;
        for (const LogLine& line : lines_) {
            if (line.text.find(part) != std::string::npos)
                found.push_back(line);
        }
        return found;
    }
    static std::size_t Count(const std::string& part) { return Lines(part).size(); }
    // Every line, each ended by a line end.
    static std::string Text() {
        std::string all;
        for (const LogLine& line : Lines())
            all += line.text + "\n";
        return all;
    }
    static void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    static void Keep(const char* line) {
        const std::uint64_t now = parvane::master::MasterTimeNs();
        std::lock_guard lock(mutex_);
        lines_.push_back({line, now});
    }
    static inline std::mutex mutex_;
    static inline std::vector<LogLine> lines_;
};

}  // namespace testsupport
