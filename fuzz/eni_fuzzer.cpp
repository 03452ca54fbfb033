// The ENI reader fed any bytes as the file's contents.
//
// Invariants: a refused file says why; never more slaves than the wire's
// 16-bit counts carry; the notes about missing elements stay bounded and
// never outnumber the count, whether the file is loaded or refused. A loaded
// file's configuration is walked whole: one configured slave per identity,
// with the same identity; every command a datagram the wire can carry (a
// known command, data that fits in a frame, a Validate no longer than the
// data and a mask as long as the Validate data); every init command bound to
// a transition; CoE commands downloads or uploads, SoE ones to drives 0 to
// 7; previous ports A to D; passive terminals without anything to configure,
// and taken out with the identities in step; cyclic commands only in
// the four network states; sync managers 0 to 3. A file that the stream
// reader reads, fed in pieces of any size, reads the same whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ecat/frame.h"
#include "eni/eni_reader.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/eni_model_text.h"

namespace {

using namespace parvane;

// Reads every byte of the datagram so that the sanitizers see any stray
// pointer; the sum keeps the reads from being optimised away.
unsigned Walk(const eni::Datagram& datagram) {
    FUZZ_CHECK(static_cast<unsigned>(datagram.command) <= ecat::kLastCommand);
    FUZZ_CHECK(datagram.data.size() <= ecat::kMaxDatagramData);
    unsigned sum = datagram.address();
    for (std::uint8_t byte : datagram.data)
        sum += byte;
    return sum;
}

unsigned Walk(const std::vector<eni::InitCmd>& cmds) {
    unsigned sum = 0;
    for (const eni::InitCmd& cmd : cmds) {
        FUZZ_CHECK(!cmd.transitions.empty());
        FUZZ_CHECK(cmd.requirement.empty() || cmd.requirement == "frame" ||
                   cmd.requirement == "cycle");
        sum += Walk(cmd.datagram) + static_cast<unsigned>(cmd.comment.size());
        if (cmd.validate) {
            FUZZ_CHECK(cmd.validate->data.size() <= cmd.datagram.data.size());
            FUZZ_CHECK(cmd.validate->mask.empty() ||
                       cmd.validate->mask.size() == cmd.validate->data.size());
            for (std::uint8_t byte : cmd.validate->data)
                sum += byte;
        }
    }
    return sum;
}

unsigned Walk(const eni::NetworkConfig& config) {
    unsigned sum = Walk(config.masterInitCmds);
    for (const eni::Slave& slave : config.slaves) {
        sum += Walk(slave.initCmds) + static_cast<unsigned>(slave.name.size());
        if (slave.mailbox) {
            for (const eni::CoeInitCmd& cmd : slave.mailbox->coeInitCmds) {
                FUZZ_CHECK(!cmd.transitions.empty());
                FUZZ_CHECK(cmd.ccs == 1 || cmd.ccs == 2);
                FUZZ_CHECK(cmd.data.size() <= ecat::kMaxDatagramData);
                for (std::uint8_t byte : cmd.data)
                    sum += byte;
            }
            for (const eni::SoeInitCmd& cmd : slave.mailbox->soeInitCmds) {
                FUZZ_CHECK(!cmd.transitions.empty());
                FUZZ_CHECK(cmd.driveNo <= 7);
                sum += cmd.idn + static_cast<unsigned>(cmd.data.size());
            }
            for (const eni::EoeInitCmd& cmd : slave.mailbox->eoeInitCmds) {
                FUZZ_CHECK(!cmd.transitions.empty());
                sum += static_cast<unsigned>(cmd.data.size());
            }
            for (const eni::SkippedInitCmd& cmd : slave.mailbox->skippedInitCmds)
                FUZZ_CHECK(cmd.protocol == "FoE" || cmd.protocol == "AoE");
        }
        if (slave.previousPort)
            FUZZ_CHECK(slave.previousPort->port >= 'A' && slave.previousPort->port <= 'D');
        if (slave.passive)
            FUZZ_CHECK(!slave.mailbox && !slave.processData && slave.initCmds.empty());
        if (slave.processData) {
            for (const eni::SyncManager& sm : slave.processData->sms) {
                FUZZ_CHECK(sm.number <= 3);
                sum += sm.defaultSize + static_cast<unsigned>(sm.pdos.size());
            }
            for (const auto* pdos : {&slave.processData->rxPdos, &slave.processData->txPdos}) {
                for (const eni::Pdo& pdo : *pdos)
                    sum += pdo.bitLength() + static_cast<unsigned>(pdo.name.size());
            }
        }
    }
    for (const eni::Cyclic& cyclic : config.cyclic) {
        for (const eni::CyclicFrame& frame : cyclic.frames) {
            for (const eni::CyclicCmd& cmd : frame.cmds) {
                FUZZ_CHECK((cmd.states & ~0x0Fu) == 0);  // INIT, PREOP, SAFEOP, OP
                sum += Walk(cmd.datagram);
            }
        }
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto contents = parvane::eni::ReadEniText(text);
    const parvane::eni::Notes& notes = contents ? contents->notes : contents.error().notes;
    if (contents) {
        FUZZ_CHECK(contents->slaves.size() <= 0xFFFF);
        FUZZ_CHECK(contents->config.slaves.size() == contents->slaves.size());
        for (std::size_t i = 0; i < contents->slaves.size(); ++i)
            FUZZ_CHECK(contents->config.slaves[i].identity == contents->slaves[i]);
        volatile unsigned sum = Walk(contents->config);
        (void)sum;
        // Without the passive terminals the identities stay in step.
        parvane::eni::EniContents active = *contents;
        const std::size_t removed = parvane::eni::WithoutPassiveTerminals(active);
        FUZZ_CHECK(active.slaves.size() + removed == contents->slaves.size());
        FUZZ_CHECK(active.config.slaves.size() == active.slaves.size());
        for (std::size_t i = 0; i < active.slaves.size(); ++i) {
            FUZZ_CHECK(!active.config.slaves[i].passive);
            FUZZ_CHECK(active.config.slaves[i].identity == active.slaves[i]);
        }
    } else {
        FUZZ_CHECK(!contents.error().message.empty());
    }
    // The pieces' size from the input's, so that the corpus tries many.
    if (const auto streamed = parvane::eni::StreamText(text, 1 + size % 61)) {
        const auto whole = parvane::eni::ReadWholeDocument(text);
        FUZZ_CHECK(whole && contents);
        const std::string model = parvane::eni::ModelText(*streamed);
        FUZZ_CHECK(model == parvane::eni::ModelText(*whole));
        FUZZ_CHECK(model == parvane::eni::ModelText(*contents));
    }
    FUZZ_CHECK(notes.lines.size() <= 20);
    FUZZ_CHECK(notes.lines.size() <= notes.missingElements);
    return 0;
}
