#include "app/result_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <sstream>
#include <string>

#include "check/run_record.h"
#include "launcher/driver_hints.h"

namespace {

constexpr const char* kStepNames[kRecordedSteps] = {
    "STEP 1: EtherCAT network open check",
    "STEP 2: Comparison of number of slaves",
    "STEP 3: Comparison of slave information",
    "STEP 4: Confirmation of state-change",
};
constexpr const char* kFieldKeys[kIdentityFieldCount] = {"vendor_id", "product_code",
                                                         "revision_no"};
constexpr const char* kFieldNames[kIdentityFieldCount] = {"VendorID", "ProductCode", "RevisionNo"};
constexpr std::uint16_t kStatusTimeout = 15;
constexpr std::uint32_t kHexTextSize = 16;

struct HexText {
    char text[kHexTextSize];
};

HexText Hex(std::uint32_t value, int digits) {
    HexText hex{};
    std::snprintf(hex.text, sizeof hex.text, "%0*X", digits, static_cast<unsigned>(value));
    return hex;
}

const char* StateName(std::uint16_t state) {
    switch (state) {
        case 1:
            return "Init";
        case 2:
            return "Pre-Operational";
        case 4:
            return "Safe-Operational";
        case 8:
            return "Operational";
        default:
            return "unknown";
    }
}

const char* StateOutcome(std::uint16_t status) {
    if (status == 0) {
        return "reached";
    }
    return status == kStatusTimeout ? "timed out" : "failed";
}

int ExitStatusOf(std::uint32_t status) {
    return status <= 254 ? static_cast<int>(status) : 255;
}

// True when a value was read and differs, or could not be read.
bool Differs(const SlaveResult& slave, std::uint32_t field) {
    return slave.compared[field] &&
           (slave.readStatus[field] != 0 || slave.onlineValue[field] != slave.eniValue[field]);
}

// The step the run failed at: 1 to 4, 0 for the driver's start, -1 when it
// did not fail.
int FailedAt(const CheckRecord& record, std::uint32_t status) {
    if (status == 0) {
        return -1;
    }
    for (std::uint32_t s = 0; s < kRecordedSteps; ++s) {
        if (record.steps[s].run && record.steps[s].status != 0) {
            return static_cast<int>(s + 1);
        }
    }
    return 0;
}

nlohmann::ordered_json TextOrNull(const char* text) {
    using json = nlohmann::ordered_json;
    return text != nullptr && text[0] != '\0' ? json(text) : json(nullptr);
}

// Seconds with millisecond digits, as JUnit readers expect them.
std::string Seconds(std::uint32_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%03u", static_cast<unsigned>(milliseconds / 1000),
                  static_cast<unsigned>(milliseconds % 1000));
    return text;
}

std::string JsonText(const CheckRecord& record, const char* eniGiven, std::uint32_t status) {
    using json = nlohmann::ordered_json;
    json result;
    result["tool"] = "parvane";
    result["version"] = PARVANE_VERSION_TEXT;
    result["eni_given"] = TextOrNull(eniGiven);
    result["eni_driver"] = TextOrNull(DriverEniPath());
    result["counts"] = {
        {"eni", record.eniCountKnown ? json(record.eniCount) : json(nullptr)},
        {"online", record.onlineCountKnown ? json(record.onlineCount) : json(nullptr)},
    };

    json steps = json::array();
    for (std::uint32_t s = 0; s < kRecordedSteps; ++s) {
        const StepResult& step = record.steps[s];
        const char* outcome = !step.run ? "not run" : step.status == 0 ? "passed" : "failed";
        steps.push_back({{"step", s + 1},
                         {"name", kStepNames[s]},
                         {"outcome", outcome},
                         {"status", step.status}});
    }
    result["steps"] = steps;

    json slaves = json::array();
    for (std::uint32_t i = 0; i < record.slaveCount; ++i) {
        const SlaveResult& slave = record.slaves[i];
        json eni = json::object();
        json online = json::object();
        json differs = json::array();
        json unreadable = json::object();
        for (std::uint32_t f = 0; f < kIdentityFieldCount; ++f) {
            eni[kFieldKeys[f]] = slave.eniValue[f];
            if (!slave.compared[f]) {
                continue;
            }
            online[kFieldKeys[f]] =
                slave.readStatus[f] == 0 ? json(slave.onlineValue[f]) : json(nullptr);
            if (slave.readStatus[f] != 0) {
                unreadable[kFieldKeys[f]] = slave.readStatus[f];
            }
            if (Differs(slave, f)) {
                differs.push_back(kFieldKeys[f]);
            }
        }
        slaves.push_back({{"position", slave.position},
                          {"info_acquired", slave.infoAcquired},
                          {"eni", eni},
                          {"online", online},
                          {"differs", differs},
                          {"unreadable", unreadable}});
    }
    result["slaves"] = slaves;

    json changes = json::array();
    for (std::uint32_t i = 0; i < record.stateChangeCount; ++i) {
        const StateChangeResult& change = record.stateChanges[i];
        changes.push_back({{"state", StateName(change.state)},
                           {"code", change.state},
                           {"outcome", StateOutcome(change.status)},
                           {"status", change.status},
                           {"ms", change.elapsedMs}});
    }
    result["state_changes"] = changes;

    const int failedAt = FailedAt(record, status);
    result["failed_at"] = failedAt < 0    ? json(nullptr)
                          : failedAt == 0 ? json("driver start")
                                          : json(kStepNames[failedAt - 1]);
    result["status"] = status;
    result["status_hex"] = Hex(status, 4).text;
    result["exit_status"] = ExitStatusOf(status);
    result["verdict"] = status == 0 ? "passed" : "failed";
    return result.dump(2) + "\n";
}

void AddFailure(pugi::xml_node testCase, const char* type, const std::string& message) {
    pugi::xml_node failure = testCase.append_child("failure");
    failure.append_attribute("type") = type;
    failure.append_attribute("message") = message.c_str();
}

std::string JunitText(const CheckRecord& record, const char* eniGiven, std::uint32_t status) {
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";

    pugi::xml_node suites = document.append_child("testsuites");
    suites.append_attribute("name") = "parvane";
    pugi::xml_node suite = suites.append_child("testsuite");
    suite.append_attribute("name") = "parvane";
    pugi::xml_node properties = suite.append_child("properties");
    auto property = [&](const char* name, const char* value) {
        pugi::xml_node p = properties.append_child("property");
        p.append_attribute("name") = name;
        p.append_attribute("value") = value;
    };
    property("eni_given", eniGiven != nullptr ? eniGiven : "");
    property("eni_driver", DriverEniPath());
    property("status", Hex(status, 4).text);
    property("verdict", status == 0 ? "passed" : "failed");

    int tests = 0;
    int failures = 0;
    int skipped = 0;
    std::uint32_t totalMs = 0;

    // The driver's start comes before the steps; it failed when the run
    // failed without any step failing.
    const int failedAt = FailedAt(record, status);
    {
        pugi::xml_node testCase = suite.append_child("testcase");
        testCase.append_attribute("classname") = "parvane.driver";
        testCase.append_attribute("name") = "Master driver runs with the ENI";
        ++tests;
        if (failedAt == 0) {
            AddFailure(testCase, "status", std::string("status ") + Hex(status, 4).text + "H");
            ++failures;
        }
    }

    for (std::uint32_t s = 0; s < kRecordedSteps; ++s) {
        const StepResult& step = record.steps[s];
        pugi::xml_node testCase = suite.append_child("testcase");
        testCase.append_attribute("classname") = "parvane.steps";
        testCase.append_attribute("name") = kStepNames[s];
        ++tests;
        if (!step.run) {
            testCase.append_child("skipped").append_attribute("message") =
                "not run: an earlier failure ended the run";
            ++skipped;
        } else if (step.status != 0) {
            AddFailure(testCase, "status", std::string("status ") + Hex(step.status, 4).text + "H");
            ++failures;
        }
        if (s + 1 == 4 && record.stateChangeCount > 0) {
            std::string lines;
            std::uint32_t ms = 0;
            for (std::uint32_t i = 0; i < record.stateChangeCount; ++i) {
                const StateChangeResult& change = record.stateChanges[i];
                char line[128];
                std::snprintf(line, sizeof line, "%s: %s in %u ms (status %04XH)\n",
                              StateName(change.state), StateOutcome(change.status),
                              static_cast<unsigned>(change.elapsedMs),
                              static_cast<unsigned>(change.status));
                lines += line;
                ms += change.elapsedMs;
            }
            testCase.append_attribute("time") = Seconds(ms).c_str();
            totalMs += ms;
            testCase.append_child("system-out").text() = lines.c_str();
        }
    }

    for (std::uint32_t i = 0; i < record.slaveCount; ++i) {
        const SlaveResult& slave = record.slaves[i];
        pugi::xml_node testCase = suite.append_child("testcase");
        testCase.append_attribute("classname") = "parvane.slaves";
        testCase.append_attribute("name") = ("Slave " + std::to_string(slave.position)).c_str();
        ++tests;
        std::string message;
        if (!slave.infoAcquired) {
            message += "Slave information acquisition failed. ";
        }
        for (std::uint32_t f = 0; f < kIdentityFieldCount; ++f) {
            if (!Differs(slave, f)) {
                continue;
            }
            if (slave.readStatus[f] != 0) {
                message += std::string(kFieldNames[f]) + " EEPROM read failed, status " +
                           Hex(slave.readStatus[f], 4).text + "H. ";
            } else {
                message += std::string(kFieldNames[f]) + " mismatch. ENI[" +
                           Hex(slave.eniValue[f], 8).text + "H], Online[" +
                           Hex(slave.onlineValue[f], 8).text + "H]. ";
            }
        }
        if (!message.empty()) {
            message.pop_back();
            AddFailure(testCase, "warning", message);
            ++failures;
        }
    }

    suite.append_attribute("tests") = tests;
    suite.append_attribute("failures") = failures;
    suite.append_attribute("errors") = 0;
    suite.append_attribute("skipped") = skipped;
    suite.append_attribute("time") = Seconds(totalMs).c_str();
    suites.append_attribute("tests") = tests;
    suites.append_attribute("failures") = failures;

    std::ostringstream text;
    document.save(text, "  ", pugi::format_default, pugi::encoding_utf8);
    return text.str();
}

// Writes text to path through a temporary file in the same folder and a
// rename, so that the file is either the old one or the whole new one.
// False with the reason on stderr.
bool WriteAtomically(const char* path, const std::string& text, const char* kind) {
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        std::fprintf(stderr, "parvane: cannot write the %s result file %s: %s\n", kind, path,
                     std::strerror(errno));
        return false;
    }
    // mkstemp makes the file 0600; a result file is as readable as any other
    // file the user creates.
    const mode_t mask = umask(0);
    umask(mask);
    bool written = fchmod(fd, 0666 & ~mask) == 0;
    std::size_t done = 0;
    while (written && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        if (written) {
            done += static_cast<std::size_t>(n);
        }
    }
    written = written && fsync(fd) == 0;
    const int error = errno;
    written = close(fd) == 0 && written;
    if (written && std::rename(temporary.c_str(), path) == 0) {
        return true;
    }
    std::fprintf(stderr, "parvane: cannot write the %s result file %s: %s\n", kind, path,
                 std::strerror(written ? errno : error));
    unlink(temporary.c_str());
    return false;
}

bool Asked(const char* path) {
    return path != nullptr && path[0] != '\0';
}

}  // namespace

std::uint32_t WriteResultFiles(const char* jsonPath, const char* junitPath, const char* eniGiven,
                               std::uint32_t status) {
    if (!Asked(jsonPath) && !Asked(junitPath)) {
        return 0;
    }
    const CheckRecord record = GetCheckRecord();
    bool written = true;
    if (Asked(jsonPath)) {
        written = WriteAtomically(jsonPath, JsonText(record, eniGiven, status), "JSON") && written;
    }
    if (Asked(junitPath)) {
        written =
            WriteAtomically(junitPath, JunitText(record, eniGiven, status), "JUnit") && written;
    }
    return written ? 0 : kStatusResultFileFailed;
}
