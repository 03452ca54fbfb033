// The transition plans of an ENI fed any bytes: every slave of a file the
// reader takes, planned for every transition, as the master plans them.
//
// Invariants: a plan runs the slave's commands of the transition, each once
// and in file order (one whose FMMU data the master replaced in its place);
// its split points lie within its list; every entry the master put in place
// of the file's FMMU data is an FMMU entry, whose logical bytes lie in one
// cyclic logical command when active; the replacements are counted.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "ecat/registers.h"
#include "eni/eni_reader.h"
#include "fuzz/fuzz_check.h"
#include "master/fmmu_plan.h"
#include "master/transition_plan.h"

namespace {

using namespace parvane;
constexpr std::size_t kFmmuSize = ecat::reg::kFmmuSize;

// The entries `planned` writes in place of `file`'s; checks each, and that
// nothing else changed.
unsigned CheckRewritten(const eni::InitCmd& file, const eni::InitCmd& planned,
                        const master::LogicalImage& image) {
    const eni::Datagram& a = file.datagram;
    const eni::Datagram& b = planned.datagram;
    FUZZ_CHECK(a.command == b.command && a.address() == b.address());
    FUZZ_CHECK(a.data.size() == b.data.size());
    std::vector<bool> inEntry(a.data.size(), false);
    unsigned replaced = 0;
    for (unsigned n = 0; n < ecat::reg::kMaxFmmus; ++n) {
        const std::uint32_t at = ecat::reg::Fmmu(n);
        if (at < a.ado || at + kFmmuSize > a.ado + a.data.size())
            continue;
        const std::size_t offset = at - a.ado;
        std::fill_n(inEntry.begin() + static_cast<std::ptrdiff_t>(offset), kFmmuSize, true);
        const std::span<const std::uint8_t, kFmmuSize> entry(&b.data[offset], kFmmuSize);
        if (std::equal(entry.begin(), entry.end(), a.data.begin() + offset))
            continue;
        FUZZ_CHECK(master::IsFmmuEntry(entry, image, nullptr));
        const ecat::FmmuEntry e = ecat::FmmuEntry::Decode(entry);
        FUZZ_CHECK(!e.active || image.Covers(e.logicalStart, e.length));
        ++replaced;
    }
    for (std::size_t i = 0; i < a.data.size(); ++i)
        FUZZ_CHECK(inEntry[i] || a.data[i] == b.data[i]);
    return replaced;
}

void CheckPlan(const master::LogicalImage& image, const eni::Slave& slave, eni::Transition t,
               ecat::AlState to) {
    const master::SlavePlan plan = master::PlanSlave(image, slave, t, to);
    FUZZ_CHECK(plan.extrasAt <= plan.split && plan.split <= plan.cmds.size());
    std::size_t next = 0;  // the slave's next command that may come
    unsigned replaced = 0;
    for (const eni::InitCmd* cmd : plan.cmds) {
        while (next < slave.initCmds.size() && !slave.initCmds[next].transitions.Has(t))
            ++next;
        FUZZ_CHECK(next < slave.initCmds.size());
        const eni::InitCmd& file = slave.initCmds[next++];
        if (cmd != &file)
            replaced += CheckRewritten(file, *cmd, image);
    }
    while (next < slave.initCmds.size())
        FUZZ_CHECK(!slave.initCmds[next++].transitions.Has(t));
    // A replacement may equal the file's bytes by chance, never the reverse.
    FUZZ_CHECK(replaced <= plan.fmmusReplaced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto eni = eni::ReadEniText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!eni)
        return 0;
    const master::LogicalImage image(eni->config);
    for (const eni::Slave& slave : eni->config.slaves) {
        for (std::size_t t = 0; t < eni::kTransitionCount; ++t) {
            const auto transition = static_cast<eni::Transition>(t);
            CheckPlan(image, slave, transition, ecat::AlState::kPreOp);
        }
    }
    return 0;
}
