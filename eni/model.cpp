#include "eni/model.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>

namespace parvane::eni {

const std::string& SharedText::Empty() {
    static const std::string empty;
    return empty;
}

namespace {

struct TransitionName {
    Transition transition;
    char from;
    char to;
};

// Letter pairs as files write them; "OP" is OP -> PREOP.
constexpr std::array<TransitionName, kTransitionCount> kTransitionNames{{
    {Transition::kIP, 'I', 'P'},
    {Transition::kPS, 'P', 'S'},
    {Transition::kSO, 'S', 'O'},
    {Transition::kOS, 'O', 'S'},
    {Transition::kSP, 'S', 'P'},
    {Transition::kOP, 'O', 'P'},
    {Transition::kOI, 'O', 'I'},
    {Transition::kSI, 'S', 'I'},
    {Transition::kPI, 'P', 'I'},
    {Transition::kII, 'I', 'I'},
    {Transition::kPP, 'P', 'P'},
    {Transition::kSS, 'S', 'S'},
    {Transition::kOO, 'O', 'O'},
    {Transition::kIB, 'I', 'B'},
    {Transition::kBI, 'B', 'I'},
}};

// The texts TransitionText hands out, in the order of the enum.
constexpr std::array<const char*, kTransitionCount> kTransitionTexts{
    "IP", "PS", "SO", "OS", "SP", "OP", "OI", "SI", "PI", "II", "PP", "SS", "OO", "IB", "BI"};

char LetterOf(ecat::AlState state) {
    switch (state) {
        case ecat::AlState::kInit:
            return 'I';
        case ecat::AlState::kPreOp:
            return 'P';
        case ecat::AlState::kBoot:
            return 'B';
        case ecat::AlState::kSafeOp:
            return 'S';
        case ecat::AlState::kOp:
            return 'O';
    }
    return '?';
}

std::optional<Transition> Find(char from, char to) {
    for (const TransitionName& name : kTransitionNames) {
        if (name.from == from && name.to == to)
            return name.transition;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Transition> TransitionBetween(ecat::AlState from, ecat::AlState to) {
    return Find(LetterOf(from), LetterOf(to));
}

std::optional<Transition> TransitionFromText(std::string_view letters) {
    while (!letters.empty() && (letters.front() == ' ' || letters.front() == '\t' ||
                                letters.front() == '\r' || letters.front() == '\n'))
        letters.remove_prefix(1);
    while (!letters.empty() && (letters.back() == ' ' || letters.back() == '\t' ||
                                letters.back() == '\r' || letters.back() == '\n'))
        letters.remove_suffix(1);
    if (letters.size() != 2)
        return std::nullopt;
    return Find(letters[0], letters[1]);
}

const char* TransitionText(Transition t) {
    const auto i = static_cast<std::size_t>(t);
    return i < kTransitionTexts.size() ? kTransitionTexts[i] : "?";
}

std::uint32_t Pdo::bitLength() const {
    std::uint32_t bits = 0;
    for (const PdoEntry& entry : entries)
        bits += entry.bitLength;
    return bits;
}

std::size_t WithoutPassiveTerminals(NetworkConfig& config) {
    return static_cast<std::size_t>(
        std::erase_if(config.slaves, [](const Slave& slave) { return slave.passive; }));
}

void AdviseHugePages(const void* data, std::size_t bytes) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + bytes) & ~(kHugePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace parvane::eni
