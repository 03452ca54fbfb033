// Helpers for the emulator's tests: frames written out by hand (Ethernet
// header, EtherCAT header, datagrams as the wire tables lay them out), a
// clock the test moves, and ENI slaves filled in by hand.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/network.h"
#include "emulator/segment.h"
#include "eni/model.h"

namespace parvane::emulator::test {

using Bytes = std::vector<std::uint8_t>;

// "0a 1B 2c" -> {0x0A, 0x1B, 0x2C}; blanks and '|' are ignored.
inline Bytes Hex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    }
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

// One datagram laid out by hand: command, index, ADP, ADO (or a logical
// address as ADP + ADO), length word, IRQ 0, data, WKC.
inline Bytes Datagram(std::uint8_t command, std::uint8_t index, std::uint16_t adp,
                      std::uint16_t ado, const Bytes& data, bool more = false,
                      std::uint16_t wkc = 0) {
    const std::uint16_t length = static_cast<std::uint16_t>(data.size() | (more ? 0x8000 : 0));
    Bytes d{command, index};
    for (const std::uint16_t word : {adp, ado, length, std::uint16_t{0}}) {
        d.push_back(static_cast<std::uint8_t>(word));
        d.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    d.insert(d.end(), data.begin(), data.end());
    d.push_back(static_cast<std::uint8_t>(wkc));
    d.push_back(static_cast<std::uint8_t>(wkc >> 8));
    return d;
}

// A whole frame: broadcast destination, source 00:11:22:33:44:55, type
// 88 A4, EtherCAT header (length | type 1 << 12), the datagrams.
inline Bytes Frame(const Bytes& datagrams) {
    Bytes f = Hex("ff ff ff ff ff ff 00 11 22 33 44 55 88 a4");
    const std::uint16_t header = static_cast<std::uint16_t>(datagrams.size() | 0x1000);
    f.push_back(static_cast<std::uint8_t>(header));
    f.push_back(static_cast<std::uint8_t>(header >> 8));
    f.insert(f.end(), datagrams.begin(), datagrams.end());
    return f;
}

struct FakeClock {
    std::shared_ptr<std::uint64_t> ns = std::make_shared<std::uint64_t>(1'000'000'000);
    TimeSource source() const {
        auto p = ns;
        return [p] { return *p; };
    }
    void AdvanceMs(std::uint64_t ms) const { *ns += ms * 1'000'000; }
    void AdvanceUs(std::uint64_t us) const { *ns += us * 1'000; }
};

// The answer to one datagram sent alone.
struct Reply {
    Bytes data;
    std::uint16_t wkc = 0;
    std::uint16_t adp = 0;
};

// Sends one datagram through the segment in a frame of its own.
inline Reply Exchange(Segment& segment, std::uint8_t command, std::uint16_t adp, std::uint16_t ado,
                      const Bytes& data) {
    Bytes frame = Frame(Datagram(command, 0x5A, adp, ado, data));
    EXPECT_EQ(segment.Process(frame), FrameOutcome::kAnswered);
    const std::size_t at = 16;
    Reply r;
    r.adp = static_cast<std::uint16_t>(frame[at + 2] | (frame[at + 3] << 8));
    r.data.assign(frame.begin() + at + 10,
                  frame.begin() + at + 10 + static_cast<long>(data.size()));
    const std::size_t w = at + 10 + data.size();
    r.wkc = static_cast<std::uint16_t>(frame[w] | (frame[w + 1] << 8));
    return r;
}

inline Bytes Zeros(std::size_t n) {
    return Bytes(n, 0);
}

inline constexpr std::uint8_t kAprd = 1, kApwr = 2, kBwr = 8, kArmw = 13, kFrmw = 14;

// One datagram of a script and what comes back.
struct Step {
    const char* what;
    std::uint8_t command;
    std::uint16_t adp;
    std::uint16_t ado;  // for LRD/LWR/LRW: ADP + ADO = the logical address
    const char* in;
    const char* out;  // nullptr: not checked
    std::uint16_t wkc;
    int adpOut = -1;              // < 0: not checked
    std::uint32_t advanceUs = 0;  // the clock moves on by this before the datagram
};

// Sends each step's datagram in a frame of its own and checks the answer.
inline void RunSteps(Segment& segment, const FakeClock& clock, std::span<const Step> steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        clock.AdvanceUs(step.advanceUs);
        const Reply r = Exchange(segment, step.command, step.adp, step.ado, Hex(step.in));
        if (step.out != nullptr) {
            EXPECT_EQ(ToHex(r.data), ToHex(Hex(step.out)));
        }
        EXPECT_EQ(r.wkc, step.wkc);
        if (step.adpOut >= 0) {
            EXPECT_EQ(r.adp, step.adpOut);
        }
    }
}

// An ENI slave with a CoE mailbox (SM0 0x1000/128, SM1 0x1080/128), 2 bytes
// of outputs (SM2 0x1100, PDO 0x1600) and 2 bytes of inputs (SM3 0x1180, PDO
// 0x1A00); its PS init commands write 0x1C12 (complete access) and 0x8000:01.
inline eni::Slave MailboxSlave(std::uint32_t product = 0x00001234) {
    eni::Slave s;
    s.name = "Emulated IO";
    s.physAddr = 1001;
    s.identity = {0x00000ABC, product, 0x00010000};
    s.serialNo = 77;
    eni::Mailbox m;
    m.sendStart = 0x1000;
    m.sendLength = 128;
    m.recvStart = 0x1080;
    m.recvLength = 128;
    m.protocols = 0x04;
    eni::CoeInitCmd assign;
    assign.transitions.Add(eni::Transition::kPS);
    assign.ccs = 1;
    assign.index = 0x1C12;
    assign.subIndex = 0;
    assign.completeAccess = true;
    assign.data = {0x01, 0x00, 0x00, 0x16};
    eni::CoeInitCmd setting;
    setting.transitions.Add(eni::Transition::kPS);
    setting.ccs = 1;
    setting.index = 0x8000;
    setting.subIndex = 1;
    setting.data = {0x05, 0x00};
    m.coeInitCmds = {assign, setting};
    s.mailbox = m;
    eni::ProcessData pd;
    eni::SyncManager sm2{2, eni::SmType::kOutputs, 0x1100, 0x64, true, 2, {0x1600}};
    eni::SyncManager sm3{3, eni::SmType::kInputs, 0x1180, 0x20, true, 2, {0x1A00}};
    pd.sms = {sm2, sm3};
    pd.rxPdos = {eni::Pdo{0x1600, "Outputs", false, 2, {{0x7000, 1, 16, "Out", "UINT"}}}};
    pd.txPdos = {eni::Pdo{0x1A00, "Inputs", false, 3, {{0x6000, 1, 16, "In", "UINT"}}}};
    s.processData = pd;
    return s;
}

// An ENI slave with neither mailbox nor process data.
inline eni::Slave PlainSlave(std::uint32_t product) {
    eni::Slave s;
    s.name = "Plain";
    s.identity = {0x00000002, product, 0x00100000};
    return s;
}

inline std::unique_ptr<Segment> MakeSegment(std::vector<eni::Slave> slaves, const FakeClock& clock,
                                            const std::string& description = "{}") {
    eni::NetworkConfig config;
    config.slaves = std::move(slaves);
    auto d = ReadDescriptionText(description);
    EXPECT_TRUE(d.has_value()) << (d ? "" : d.error().message);
    return BuildSegment(config, d ? *d : Description{}, clock.source());
}

// Configuration of MailboxSlave() written as a master writes it, with bytes
// laid out by the SM (8 bytes) and FMMU (16 bytes) tables.
inline const char* kMailboxSms =
    "00 10 80 00 26 00 01 00"   // SM0 0x1000, 128, mailbox master writes, enable
    "80 10 80 00 22 00 01 00";  // SM1 0x1080, 128, mailbox master reads, enable
inline const char* kProcessSms =
    "00 11 02 00 64 00 01 00"     // SM2 0x1100, 2, buffered master writes + watchdog
    "80 11 02 00 20 00 01 00";    // SM3 0x1180, 2, buffered master reads
inline const char* kOutputFmmu =  // logical 0x00010000, 2 bytes, bits 0-7 -> 0x1100, write
    "00 00 01 00 02 00 00 07 00 11 00 02 01 00 00 00";
inline const char* kInputFmmu =  // logical 0x00010002, 2 bytes <- 0x1180, read
    "02 00 01 00 02 00 00 07 80 11 00 01 01 00 00 00";

// Writes a whole mailbox message into SM0 (zero-padded to its 128 bytes) and
// returns what SM1 then holds (empty when SM1 stays empty).
inline Bytes MailboxExchange(Segment& segment, std::uint16_t adp, const Bytes& message) {
    Bytes window = message;
    window.resize(128, 0);
    const Reply w = Exchange(segment, 2, adp, 0x1000, window);
    EXPECT_EQ(w.wkc, 1) << "SM0 write refused";
    const Reply r = Exchange(segment, 1, adp, 0x1080, Zeros(128));
    if (r.wkc == 0)
        return {};
    return r.data;
}

// The CoE downloads MailboxSlave() requires before SAFEOP: 0x1C12 by
// complete access (normal download, 0x31) and 0x8000:01 expedited (0x2B).
inline void DownloadStartupObjects(Segment& segment, std::uint16_t adp) {
    MailboxExchange(segment, adp,
                    Hex("0e 00 00 00 00 13 00 20 31 12 1c 00 04 00 00 00 01 00 00 16"));
    MailboxExchange(segment, adp, Hex("0a 00 00 00 00 23 00 20 2b 00 80 01 05 00 00 00"));
}

inline std::uint16_t AlStatus(Segment& segment, std::uint16_t adp) {
    const Reply r = Exchange(segment, 1, adp, 0x0130, Zeros(2));
    return static_cast<std::uint16_t>(r.data[0] | (r.data[1] << 8));
}
inline std::uint16_t AlCode(Segment& segment, std::uint16_t adp) {
    const Reply r = Exchange(segment, 1, adp, 0x0134, Zeros(2));
    return static_cast<std::uint16_t>(r.data[0] | (r.data[1] << 8));
}
inline void RequestState(Segment& segment, std::uint16_t adp, std::uint16_t control) {
    Exchange(segment, 2, adp, 0x0120,
             Bytes{static_cast<std::uint8_t>(control), static_cast<std::uint8_t>(control >> 8)});
}

// Takes MailboxSlave() at position `adp` from INIT up to `state` the proper way.
inline void BringUp(Segment& segment, std::uint16_t adp, std::uint16_t state) {
    if (state >= 2) {
        Exchange(segment, 2, adp, 0x0800, Hex(kMailboxSms));
        RequestState(segment, adp, 0x0002);
    }
    if (state >= 4) {
        Exchange(segment, 2, adp, 0x0810, Hex(kProcessSms));
        Bytes fmmus = Hex(kOutputFmmu);
        const Bytes input = Hex(kInputFmmu);
        fmmus.insert(fmmus.end(), input.begin(), input.end());
        Exchange(segment, 2, adp, 0x0600, fmmus);
        DownloadStartupObjects(segment, adp);
        RequestState(segment, adp, 0x0004);
    }
    if (state >= 8) {
        Exchange(segment, 2, adp, 0x1100, Hex("01 00"));
        RequestState(segment, adp, 0x0008);
    }
}

}  // namespace parvane::emulator::test
