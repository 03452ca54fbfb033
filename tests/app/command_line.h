// A command line as main receives it: the program name, then the words;
// argv ends with a null pointer that argc does not count.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> words) : texts_(std::move(words)) {
        texts_.insert(texts_.begin(), "parvane");
        for (std::string& text : texts_)
            pointers_.push_back(text.data());
        pointers_.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int argc() const { return static_cast<int>(texts_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};
