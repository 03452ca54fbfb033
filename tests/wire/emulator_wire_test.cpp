// The emulator program on one end of a veth pair answers frames sent on the
// other end, and an independent decoder (tshark) finds nothing malformed.
#include <gtest/gtest.h>

#include <array>

#include "ecat/frame.h"
#include "ecat/registers.h"
#include "tests/wire/wire_support.h"

namespace {

using namespace parvane::ecat;
using testsupport::BackgroundProcess;
using testsupport::BinDir;
using testsupport::SourceDir;

constexpr MacAddress kSource{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct Sent {
    Command command;
    std::uint16_t adp;
    std::uint16_t ado;
    std::uint16_t data;  // the two data bytes sent
    std::uint16_t expectedWkc;
    std::uint16_t expectedValue;  // first two data bytes of the reply
};

TEST(EmulatorOnVeth, AnswersFramesThatTsharkDecodes) {
    testsupport::TempNode scratch;
    wiretest::Capture capture(wiretest::MasterInterface(), scratch.dir() / "run.pcap");
    ASSERT_TRUE(capture.started());

    BackgroundProcess emulator(
        {(BinDir() / "ecat-emulator").string(), "-nic=" + wiretest::SlaveInterface(),
         "-eni=" + (SourceDir() / "examples/five-slaves.eni.xml").string()},
        {});
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return !emulator.Out().empty(); }, std::chrono::seconds(10)))
        << emulator.Err();

    wiretest::RawSocket socket(wiretest::MasterInterface());
    ASSERT_TRUE(socket.ok());

    // Five slaves in INIT after power-up: a broadcast read of AL status counts
    // them; a position read reaches one slave, or none past the end.
    const Sent cases[] = {
        {Command::kBrd, 0, reg::kAlStatus, 0, 5, 0x0001},
        {Command::kAprd, 0, reg::kAlStatus, 0, 1, 0x0001},
        {Command::kAprd, static_cast<std::uint16_t>(-4), reg::kAlStatus, 0, 1, 0x0001},
        {Command::kAprd, static_cast<std::uint16_t>(-5), reg::kAlStatus, 0, 0, 0x0000},
        {Command::kBwr, 0, reg::kStationAddress, 0, 5, 0x0000},
        {Command::kApwr, static_cast<std::uint16_t>(-2), reg::kStationAddress, 1001, 1, 1001},
        {Command::kFprd, 0, reg::kStationAddress, 0, 4, 0x0000},
        {Command::kFprd, 1001, reg::kAlStatus, 0, 1, 0x0001},
    };
    std::array<std::uint8_t, kMaxFrameSize> buffer{};
    std::uint8_t index = 0x40;
    for (const Sent& c : cases) {
        FrameBuilder builder(buffer);
        builder.Reset(kBroadcastMac, kSource);
        const std::uint8_t data[2] = {static_cast<std::uint8_t>(c.data),
                                      static_cast<std::uint8_t>(c.data >> 8)};
        ASSERT_TRUE(builder.Add(c.command, index, MakeAddress(c.adp, c.ado), data));
        ASSERT_TRUE(socket.Send(builder.Finish()));
        auto reply = socket.Receive(std::chrono::seconds(2));
        ASSERT_TRUE(reply) << CommandName(c.command);
        ParsedFrame parsed;
        ASSERT_TRUE(ReadFrame(*reply, parsed));
        ASSERT_EQ(parsed.count, 1u);
        const DatagramView& d = parsed.views[0];
        EXPECT_EQ((*reply)[6] & kMacLocallyAdministered, kMacLocallyAdministered);
        EXPECT_EQ(d.index(), index);
        EXPECT_EQ(d.command(), c.command);
        EXPECT_EQ(d.wkc(), c.expectedWkc) << CommandName(d.command()) << " " << d.adp();
        EXPECT_EQ(Get16(d.data().data()), c.expectedValue) << CommandName(d.command());
        ++index;
    }

    EXPECT_TRUE(capture.WaitForFrames(2 * std::size(cases), std::chrono::seconds(10)));
    capture.Stop();
    const wiretest::Decoded decoded = wiretest::DecodeWithTshark(scratch.dir() / "run.pcap");
    ASSERT_EQ(decoded.exitCode, 0) << decoded.text;
    SCOPED_TRACE(capture.Log());
    EXPECT_EQ(decoded.malformed, 0u) << decoded.text;
    EXPECT_EQ(decoded.frames, 2 * std::size(cases)) << decoded.text;
    EXPECT_EQ(decoded.datagrams, 2 * std::size(cases)) << decoded.text;
}

}  // namespace
