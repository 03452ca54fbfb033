#include "app/command_words.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// The options a word may mean, without their leading dash and "=".
constexpr const char* kOptionStems[] = {"eni", "pri", "json", "junit"};
constexpr std::uint32_t kStemMax = 8;

constexpr char kUsage[] =
    "Usage: parvane [-eni=PATH] [-pri=N] [-json=FILE] [-junit=FILE]\n"
    "Checks an EtherCAT network against its ENI file: makes sure the master driver runs\n"
    "with the ENI, compares the slave count and each slave's identity, and drives the\n"
    "network to Operational and back to Init. The report goes to stdout.\n"
    "\n"
    "  -eni=PATH     the ENI file the master driver must run with (default: the one the\n"
    "                running driver has)\n"
    "  -pri=N        thread priority, 0 (highest) to 255 (lowest); default 253\n"
    "  -json=FILE    also write the result of the run to FILE as JSON\n"
    "  -junit=FILE   also write it to FILE as JUnit XML\n"
    "  -h, --help, -?  this text      --version  the version\n"
    "\n"
    "Exit status: 0 when every step passed, else the failure's status (255 for a status\n"
    "above 254). RT_NODE_DIR names the node folder; see parvane(1).\n";

bool Equal(const char* word, const char* text) {
    return std::strcmp(word, text) == 0;
}

bool StartsWith(const char* word, const char* prefix) {
    return std::strncmp(word, prefix, std::strlen(prefix)) == 0;
}

// The option stem the word spells apart from letter case and leading dashes
// ("--ENI=x", "-eni", "eni=x" all spell "eni"), or null.
const char* NearOption(const char* word) {
    while (*word == '-') {
        ++word;
    }
    char stem[kStemMax + 1];
    std::uint32_t length = 0;
    while (word[length] != '\0' && word[length] != '=' && length < kStemMax) {
        stem[length] = static_cast<char>(std::tolower(static_cast<unsigned char>(word[length])));
        ++length;
    }
    if (word[length] != '\0' && word[length] != '=') {
        return nullptr;  // longer than any stem
    }
    stem[length] = '\0';
    for (const char* candidate : kOptionStems) {
        if (Equal(stem, candidate)) {
            return candidate;
        }
    }
    return nullptr;
}

// True when the option table takes the word and it counts: "-pri=" in any
// form (an empty value is a priority too), and the path options only with a
// path.
bool TakenWord(const char* word) {
    if (StartsWith(word, "-pri=")) {
        return true;
    }
    constexpr const char* kPathOptions[] = {"-eni=", "-json=", "-junit="};
    for (const char* option : kPathOptions) {
        if (StartsWith(word, option)) {
            return word[std::strlen(option)] != '\0';
        }
    }
    return false;
}

}  // namespace

bool AnswerInfoWords(std::int32_t argc, char** argv, const char* versionText) {
    if (argv == nullptr) {
        return false;
    }
    for (std::int32_t i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr) {
            continue;
        }
        if (Equal(word, "-h") || Equal(word, "--help") || Equal(word, "-?")) {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (Equal(word, "--version")) {
            std::printf("parvane %s\n", versionText);
            return true;
        }
    }
    return false;
}

std::uint32_t ReportIgnoredWords(std::int32_t argc, char** argv) {
    if (argv == nullptr) {
        return 0;
    }
    std::uint32_t told = 0;
    for (std::int32_t i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr || TakenWord(word)) {
            continue;
        }
        const char* stem = NearOption(word);
        if (stem != nullptr) {
            std::fprintf(stderr, "ignored: %s (did you mean -%s=...?)\n", word, stem);
        } else {
            std::fprintf(stderr, "ignored: %s\n", word);
        }
        ++told;
    }
    return told;
}
