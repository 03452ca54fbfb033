#include "platform/cmdline_split.h"

namespace parvane::platform::detail {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view programName,
                                          std::string_view commandLine) {
    std::vector<std::string> words;
    std::size_t used = 0;
    auto add = [&](std::string word) {
        if (words.size() >= kMaxWords || used + word.size() + 1 > kMaxWordText)
            return false;
        used += word.size() + 1;
        words.push_back(std::move(word));
        return true;
    };
    if (!add(std::string(programName)))
        return words;

    std::size_t i = 0;
    while (i < commandLine.size()) {
        while (i < commandLine.size() && IsBlank(commandLine[i]))
            ++i;
        if (i >= commandLine.size())
            break;
        std::string word;
        bool quoted = false;
        while (i < commandLine.size() && (quoted || !IsBlank(commandLine[i]))) {
            if (commandLine[i] == '"')
                quoted = !quoted;
            word += commandLine[i];
            ++i;
        }
        if (!add(std::move(word)))
            break;
    }
    return words;
}

std::string JoinArguments(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty() || &argument != &arguments.front())
            line += ' ';
        if (argument.find_first_of(" \t") != std::string::npos)
            line += '"' + argument + '"';
        else
            line += argument;
    }
    return line;
}

}  // namespace parvane::platform::detail
