// Arbitrary frames into a small emulated segment (a CoE slave, a plain
// slave, a slave in device emulation). The input is a series of frames, each
// a length byte pair and its bytes; those that do not start with 0xFF (a
// broadcast destination) get an Ethernet header put in front. Checks that every answered frame
// keeps its length and, datagram by datagram, its command, index and length, and that no byte past
// the datagrams changes. ASan catches any access outside the frame or a slave's memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "emulator/network.h"
#include "fuzz_check.h"

namespace {

using namespace parvane;

eni::Slave CoeSlave() {
    eni::Slave s;
    s.name = "CoE device";
    s.identity = {0xABC, 0x1234, 0x10000};
    eni::Mailbox m;
    m.sendStart = 0x1000;
    m.sendLength = 64;
    m.recvStart = 0x1040;
    m.recvLength = 64;
    m.protocols = 0x04;
    eni::CoeInitCmd assign;
    assign.transitions.Add(eni::Transition::kPS);
    assign.index = 0x1C12;
    assign.completeAccess = true;
    assign.data = {0x01, 0x00, 0x00, 0x16};
    // A record of known layout (u16, u32, u32) and an object nothing describes.
    eni::CoeInitCmd sync = assign;
    sync.index = 0x1C32;
    sync.data = {0x03, 0x00, 0x01, 0x00, 0x80, 0x84, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00};
    eni::CoeInitCmd vendor = assign;
    vendor.index = 0x8000;
    vendor.subIndex = 1;
    vendor.data = {0x01, 0x00, 0xFD, 0x00};
    m.coeInitCmds = {assign, sync, vendor};
    s.mailbox = m;
    eni::ProcessData pd;
    pd.sms = {{2, eni::SmType::kOutputs, 0x1100, 0x64, true, 2, {0x1600}},
              {3, eni::SmType::kInputs, 0x1180, 0x20, true, 2, {0x1A00}}};
    pd.rxPdos = {eni::Pdo{0x1600, "Out", false, 2, {{0x7000, 1, 16, "o", "UINT"}}}};
    pd.txPdos = {eni::Pdo{0x1A00, "In", false, 3, {{0x6000, 1, 16, "i", "UINT"}}}};
    s.processData = pd;
    return s;
}

struct Fixture {
    std::uint64_t now = 1'000'000'000;
    std::unique_ptr<emulator::Segment> segment;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture fixture;
    eni::NetworkConfig config;
    eni::Slave plain;
    plain.identity = {2, 0x44, 1};
    config.slaves = {CoeSlave(), plain, CoeSlave()};
    auto description = emulator::ReadDescriptionText(
        R"({"slaves": [{"eeprom_busy_us": 20, "pdo_defaults": {"inputs": [6656, 6657]}},
                       {"eeprom_errors": 1}, {"device_emulation": true}],
            "transition_ms": 1})");
    FUZZ_CHECK(description.has_value());
    fixture.segment =
        emulator::BuildSegment(config, *description, [&fixture] { return fixture.now; });

    // Slaves 0 and 2 start in PREOP with their mailboxes configured, so that
    // a single write reaches the mailbox and the SDO server.
    static const std::uint8_t kSetup[] = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x88, 0xA4, 0x3C,
        0x10,  // 60 bytes of datagrams
        // APWR position 0, 0x0800: SM0 0x1000/64 0x26, SM1 0x1040/64 0x22
        0x02, 0x01, 0x00, 0x00, 0x00, 0x08, 0x10, 0x80, 0x00, 0x00, 0x00, 0x10, 0x40, 0x00, 0x26,
        0x00, 0x01, 0x00, 0x40, 0x10, 0x40, 0x00, 0x22, 0x00, 0x01, 0x00, 0x00, 0x00,
        // BWR 0x0120 = PREOP (slave 1 has no mailbox, slave 2 copies it)
        0x08, 0x02, 0x00, 0x00, 0x20, 0x01, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
        // NOP padding datagram
        0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00};
    std::vector<std::uint8_t> setup(std::begin(kSetup), std::end(kSetup));
    FUZZ_CHECK(fixture.segment->Process(setup) == emulator::FrameOutcome::kAnswered);
    fixture.now += 2'000'000;  // past the transition time; the same frame again settles it
    setup.assign(std::begin(kSetup), std::end(kSetup));
    FUZZ_CHECK(fixture.segment->Process(setup) == emulator::FrameOutcome::kAnswered);
    FUZZ_CHECK(fixture.segment->slave(0).state() == ecat::AlState::kPreOp);

    static const std::uint8_t kHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                                           0x11, 0x22, 0x33, 0x44, 0x55, 0x88, 0xA4};
    std::vector<std::uint8_t> frame, before;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t length = static_cast<std::size_t>(data[at]) |
                                   (static_cast<std::size_t>(data[at + 1] & 0x07) << 8);
        at += 2;
        const std::size_t n = std::min(length, size - at);
        frame.clear();
        if (n > 0 && data[at] != 0xFF)
            frame.insert(frame.end(), kHeader, kHeader + sizeof kHeader);
        frame.insert(frame.end(), data + at, data + at + n);
        at += n;
        fixture.now += 7'000;  // time moves between frames
        before = frame;
        const auto outcome = fixture.segment->Process(frame);
        FUZZ_CHECK(frame.size() == before.size());
        if (outcome != emulator::FrameOutcome::kAnswered) {
            FUZZ_CHECK(frame == before);
            continue;
        }
        ecat::ParsedFrame sent, answered;
        FUZZ_CHECK(ecat::ReadFrame(before, sent).has_value());
        FUZZ_CHECK(ecat::ReadFrame(frame, answered).has_value());
        FUZZ_CHECK(sent.count == answered.count);
        for (std::size_t i = 0; i < sent.count; ++i) {
            const ecat::DatagramView a = sent.views[i], b = answered.views[i];
            FUZZ_CHECK(a.command() == b.command());
            FUZZ_CHECK(a.index() == b.index());
            FUZZ_CHECK(a.length() == b.length());
            FUZZ_CHECK(a.moreFollows() == b.moreFollows());
        }
        const std::size_t end = 16 + sent.datagrams.size();
        FUZZ_CHECK(std::memcmp(frame.data() + end, before.data() + end, frame.size() - end) == 0);
        FUZZ_CHECK(std::memcmp(frame.data() + 12, before.data() + 12, 4) == 0);
    }
    return 0;
}
