// The simulated pass-through backend over the simulated IDE devices, on the virtual clock.
#include "sim/SimPassThrough.h"
#include "sim/SimHardwareJson.h"
#include "sim/SimIde.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace zkv;

namespace {

SimHardwareConfig Lab() {
    SimHardwareConfig cfg;
    SimChannelConfig ch;
    ch.passThrough = true;
    ch.master.type = SimDeviceConfig::Type::Disk;
    ch.master.model = "ZKV PASS-THROUGH SIM";
    ch.master.sectors = (1ULL << 29);
    ch.master.defects = {{5000, SimDefectKind::UNC}};
    ch.slave.type = SimDeviceConfig::Type::Busy;
    cfg.channels.push_back(ch);
    return cfg;
}

AtaPassThroughCommand Cmd(std::uint8_t op, PassThroughProtocol p, std::uint64_t lba,
                          std::uint16_t count, std::span<std::uint8_t> data,
                          PassThroughDirection dir) {
    AtaPassThroughCommand c;
    c.ext = true;
    c.protocol = p;
    c.direction = dir;
    c.data = data;
    c.regs.command = op;
    c.regs.device = 0x40;
    c.regs.count = count & 0xFF;
    c.regs.countPrev = count >> 8;
    c.regs.lbaLow = lba & 0xFF;
    c.regs.lbaMid = (lba >> 8) & 0xFF;
    c.regs.lbaHigh = (lba >> 16) & 0xFF;
    c.regs.lbaLowPrev = (lba >> 24) & 0xFF;
    c.regs.lbaMidPrev = (lba >> 32) & 0xFF;
    c.regs.lbaHighPrev = (lba >> 40) & 0xFF;
    return c;
}

std::uint64_t Lba(const AtaOutputRegisters& r) {
    return r.lbaLow | (r.lbaMid << 8) | (std::uint64_t(r.lbaHigh) << 16) |
           (std::uint64_t(r.lbaLowPrev) << 24) | (std::uint64_t(r.lbaMidPrev) << 32) |
           (std::uint64_t(r.lbaHighPrev) << 40);
}

using Outcome = AtaPassThroughResult::Outcome;

} // namespace

TEST(SimPassThrough, IdentifiesReadsAndWritesBeyondThe28BitLimit) {
    SimIdeHardware hw(Lab());
    SimPassThrough pt(hw, 0, false);
    std::vector<std::uint8_t> id(512);
    AtaPassThroughCommand c =
        Cmd(0xEC, PassThroughProtocol::PioDataIn, 0, 1, id, PassThroughDirection::In);
    c.ext = false;
    AtaPassThroughResult r = pt.Execute(c);
    EXPECT_EQ(r.outcome, Outcome::Completed);
    EXPECT_FALSE(r.sense.hasRegisters); // PIO data-in: no registers on success
    EXPECT_EQ(id, hw.Channel(0).Master().IdentifyBlock());

    const std::uint64_t high = (1ULL << 28) + 777;
    std::vector<std::uint8_t> out(1024), in(1024);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i * 13 + 5);
    r = pt.Execute(
        Cmd(0x34, PassThroughProtocol::PioDataOut, high, 2, out, PassThroughDirection::Out));
    ASSERT_EQ(r.outcome, Outcome::Completed);
    EXPECT_EQ(r.transferred, 1024u);
    ASSERT_TRUE(r.sense.hasRegisters); // CK_COND: RECOVERED ERROR, 00h/1Dh, the registers
    EXPECT_TRUE(IsPassThroughInfo(r.sense));
    EXPECT_EQ(r.sense.regs.status & 0xC9, 0x40);
    EXPECT_EQ(hw.Channel(0).Master().ReadSectorForTest(high + 1),
              std::vector<std::uint8_t>(out.begin() + 512, out.end()));
    r = pt.Execute(
        Cmd(0x24, PassThroughProtocol::PioDataIn, high, 2, in, PassThroughDirection::In));
    EXPECT_EQ(r.outcome, Outcome::Completed);
    EXPECT_EQ(in, out);

    r = pt.Execute(Cmd(0x27, PassThroughProtocol::NonData, 0, 0, {}, PassThroughDirection::None));
    ASSERT_TRUE(r.sense.hasRegisters);
    EXPECT_EQ(Lba(r.sense.regs), (1ULL << 29) - 1);
}

TEST(SimPassThrough, DeviceErrorCarriesTheAddressAndTheNextCommandWorks) {
    SimIdeHardware hw(Lab());
    SimPassThrough pt(hw, 0, false);
    std::vector<std::uint8_t> in(4 * 512);
    AtaPassThroughResult r = pt.Execute(
        Cmd(0x24, PassThroughProtocol::PioDataIn, 4998, 4, in, PassThroughDirection::In));
    EXPECT_EQ(r.outcome, Outcome::DeviceError);
    ASSERT_TRUE(r.sense.hasRegisters);
    EXPECT_EQ(r.sense.format, AtaSense::Format::Descriptor);
    EXPECT_EQ(r.sense.regs.status & 0x01, 0x01);
    EXPECT_EQ(r.sense.regs.error, 0x40); // UNC
    EXPECT_EQ(Lba(r.sense.regs), 5000u);
    EXPECT_EQ(r.transferred, 1024u); // the two sectors before it
    r = pt.Execute(Cmd(0x24, PassThroughProtocol::PioDataIn, 5001, 1, std::span(in).first(512),
                       PassThroughDirection::In));
    EXPECT_EQ(r.outcome, Outcome::Completed);
}

TEST(SimPassThrough, RefusesWhatTheKernelRefusesWithoutTouchingTheDevice) {
    SimIdeHardware hw(Lab());
    SimPassThrough pt(hw, 0, false);
    for (auto p : {PassThroughProtocol::HardReset, PassThroughProtocol::SoftReset,
                   PassThroughProtocol::DmaQueued, PassThroughProtocol::DeviceReset,
                   PassThroughProtocol::ReturnResponse}) {
        AtaPassThroughResult r = pt.Execute(Cmd(0xE5, p, 0, 0, {}, PassThroughDirection::None));
        EXPECT_EQ(r.outcome, Outcome::Refused);
        EXPECT_EQ(r.sense.key, 0x05);
        EXPECT_EQ(r.sense.asc, 0x24);
    }
    AtaPassThroughCommand c =
        Cmd(0xEF, PassThroughProtocol::NonData, 0, 0x46, {}, PassThroughDirection::None);
    c.regs.feature = 0x03;
    EXPECT_EQ(pt.Execute(c).outcome, Outcome::Refused);
    EXPECT_EQ(
        pt.Execute(Cmd(0x5C, PassThroughProtocol::NonData, 0, 0, {}, PassThroughDirection::None))
            .outcome,
        Outcome::Refused);
    EXPECT_EQ(pt.Sent(), 0);
    EXPECT_EQ(hw.Channel(0).Master().Commands(), 0);
}

TEST(SimPassThrough, ACommandThatOutlivesItsTimeOutEndsAndIsNotTakenForDone) {
    SimHardwareConfig cfg = Lab();
    cfg.channels[0].master.slow = {{100, 1, 5'000, 0}}; // 5 s on this sector
    SimIdeHardware hw(cfg);
    SimPassThrough pt(hw, 0, false);
    std::vector<std::uint8_t> in(512);
    AtaPassThroughCommand c =
        Cmd(0x24, PassThroughProtocol::PioDataIn, 100, 1, in, PassThroughDirection::In);
    c.timeoutMs = 1000;
    std::uint64_t t0 = hw.Clock().Now();
    AtaPassThroughResult r = pt.Execute(c);
    std::uint64_t ms = (hw.Clock().Now() - t0) / 1'000'000;
    EXPECT_EQ(r.outcome, Outcome::TimedOut);
    EXPECT_GE(ms, 1000u);
    EXPECT_LT(ms, 1100u);
    // The reset that followed left the device ready for the next command.
    c = Cmd(0x24, PassThroughProtocol::PioDataIn, 200, 1, in, PassThroughDirection::In);
    EXPECT_EQ(pt.Execute(c).outcome, Outcome::Completed);
}

TEST(SimPassThrough, TheHardwareFileMarksAChannelAsReachedByPassThrough) {
    const std::string file = R"({"channels": [
        {"command_block": 496, "control_block": 1014, "pass_through": true,
         "master": {"type": "disk", "sectors": 4096}},
        {"command_block": 368, "control_block": 886}]})";
    SimHardwareConfig cfg = ParseSimHardware(file, "");
    ASSERT_EQ(cfg.channels.size(), 2u);
    EXPECT_TRUE(cfg.channels[0].passThrough);
    EXPECT_FALSE(cfg.channels[1].passThrough);
    SimIdeHardware hw(cfg);
    SimPassThrough pt(hw, 0, false);
    AtaPassThroughCommand c =
        Cmd(0x27, PassThroughProtocol::NonData, 0, 0, {}, PassThroughDirection::None);
    EXPECT_EQ(Lba(pt.Execute(c).sense.regs), 4095u);
    EXPECT_THROW(ParseSimHardware(R"({"channels": [{"command_block": 496, "control_block": 1014,
        "pass_through": 1}]})",
                                  ""),
                 std::runtime_error);
}
