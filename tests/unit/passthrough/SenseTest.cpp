// Sense data as libata returned it in a QEMU guest (Linux 6.1, AHCI disk, ATA PASS-THROUGH
// (16) over SG_IO), and the command block the Linux backend sends.
#include "platform/AtaPassThrough.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace zkv;

namespace {

std::vector<std::uint8_t> Bytes(const std::string& hex) {
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        v.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return v;
}

std::uint64_t Lba(const AtaOutputRegisters& r) {
    std::uint64_t v = r.lbaLow | (r.lbaMid << 8) | (std::uint64_t(r.lbaHigh) << 16);
    if (r.extend)
        v |= (std::uint64_t(r.lbaLowPrev) << 24) | (std::uint64_t(r.lbaMidPrev) << 32) |
             (std::uint64_t(r.lbaHighPrev) << 40);
    return v;
}

} // namespace

// CK_COND on success: RECOVERED ERROR, 00h/1Dh, descriptor format whatever D_SENSE says.
TEST(PassThroughSense, DescriptorFormatSuccessCarriesEveryRegister) {
    // READ DMA EXT of one sector at 2^28 + 777: the registers point at the next sector.
    AtaSense s = ParseAtaSense(Bytes("7201001d0000000e090c01000000100a000300004050"));
    EXPECT_EQ(s.format, AtaSense::Format::Descriptor);
    EXPECT_TRUE(IsPassThroughInfo(s));
    ASSERT_TRUE(s.hasRegisters);
    EXPECT_TRUE(s.regs.extend);
    EXPECT_EQ(s.regs.status, 0x50);
    EXPECT_EQ(s.regs.device, 0x40);
    EXPECT_EQ(Lba(s.regs), (1u << 28) + 778);
    // READ NATIVE MAX EXT on a disk of 335544320 sectors.
    s = ParseAtaSense(Bytes("7201001d0000000e090c0100000013ff00ff00ff4050"));
    EXPECT_EQ(Lba(s.regs), 335544319u);
    // CHECK POWER MODE, 28-bit: no EXTEND, the previous bytes are not taken.
    s = ParseAtaSense(Bytes("7201001d0000000e090c000000ff0000000000004050"));
    EXPECT_FALSE(s.regs.extend);
    EXPECT_EQ(s.regs.count, 0xFF);
}

TEST(PassThroughSense, DescriptorFormatErrorGivesTheFailingAddress) {
    // A sector made to fail by QEMU's blkdebug driver (QEMU reports ABRT), and a read past
    // the end of the disk.
    AtaSense s = ParseAtaSense(Bytes("720b00000000000e090c010400010088001300004041"));
    EXPECT_EQ(s.key, 0x0B);
    ASSERT_TRUE(s.hasRegisters);
    EXPECT_EQ(s.regs.status, 0x41);
    EXPECT_EQ(s.regs.error, 0x04);
    EXPECT_EQ(s.regs.count, 1);
    EXPECT_EQ(Lba(s.regs), 5000u);
    s = ParseAtaSense(Bytes("720b00000000000e090c010400011409000000004041"));
    EXPECT_EQ(Lba(s.regs), 335544329u);
    // Truncated: the descriptor does not fit in what arrived.
    s = ParseAtaSense(Bytes("720b00000000000e090c0104000114090000"));
    EXPECT_EQ(s.format, AtaSense::Format::Descriptor);
    EXPECT_FALSE(s.hasRegisters);
}

// Errors with D_SENSE clear: fixed format at the offsets 6.1 wrote, only LBA 7:0 arrives.
TEST(PassThroughSense, MisplacedFixedFormatIsRecognised) {
    AtaSense s = ParseAtaSense(Bytes("70000b000000000a04414001000000008088"));
    EXPECT_EQ(s.format, AtaSense::Format::Fixed);
    EXPECT_EQ(s.key, 0x0B);
    ASSERT_TRUE(s.hasRegisters);
    EXPECT_TRUE(s.misplacedFixed);
    EXPECT_TRUE(s.regs.partial);
    EXPECT_EQ(s.regs.error, 0x04);
    EXPECT_EQ(s.regs.status, 0x41);
    EXPECT_EQ(s.regs.device, 0x40);
    EXPECT_EQ(s.regs.count, 1);
    EXPECT_TRUE(s.regs.extend);
    EXPECT_EQ(s.regs.lbaLow, 0x88); // 5000 & 0xFF
    // Past the end (LBA 0x14000009): the upper LBA bytes are flagged non-zero.
    s = ParseAtaSense(Bytes("70000b000000000a0441400100000000a009"));
    EXPECT_TRUE(s.regs.lbaPrevNonZero);
    EXPECT_EQ(s.regs.lbaLow, 0x09);
    // CK_COND on a PIO data-in command that read its data: the PIO Setup FIS status, 58h.
    s = ParseAtaSense(Bytes("70000b000000000a00584001000000000000"));
    EXPECT_EQ(s.regs.status, 0x58);
    EXPECT_EQ(s.regs.error, 0x00);
}

TEST(PassThroughSense, FixedFormatAtTheStandardOffsets) {
    // The layout kernels with the offsets mended write: information field and
    // command-specific information as the standard has them.
    AtaSense s = ParseAtaSense(Bytes("f0000b044140010a8088130000000000000000"));
    ASSERT_TRUE(s.hasRegisters);
    EXPECT_FALSE(s.misplacedFixed);
    EXPECT_FALSE(s.regs.partial);
    EXPECT_EQ(s.regs.status, 0x41);
    EXPECT_EQ(s.regs.error, 0x04);
    EXPECT_EQ(s.regs.lbaLow, 0x88);
    EXPECT_EQ(s.regs.lbaMid, 0x13);
    EXPECT_TRUE(s.regs.extend);
}

TEST(PassThroughSense, RefusalsAndJunkCarryNoRegisters) {
    // The kernel refusing a protocol: ILLEGAL REQUEST, INVALID FIELD IN CDB.
    AtaSense s = ParseAtaSense(Bytes("700005000000001200000000240000c000010000000000000000"));
    EXPECT_EQ(s.key, 0x05);
    EXPECT_EQ(s.asc, 0x24);
    EXPECT_FALSE(s.hasRegisters);
    EXPECT_EQ(ParseAtaSense({}).format, AtaSense::Format::None);
    EXPECT_EQ(ParseAtaSense(Bytes("7000")).format, AtaSense::Format::None);
    EXPECT_EQ(ParseAtaSense(Bytes("7f00000000000000000000000000")).format, AtaSense::Format::None);
    // A descriptor length running past the end, and one of length 0 repeated.
    s = ParseAtaSense(Bytes("720b0000000000ff09ff"));
    EXPECT_FALSE(s.hasRegisters);
    s = ParseAtaSense(Bytes("720b000000000008000000000000000000"));
    EXPECT_FALSE(s.hasRegisters);
}

TEST(PassThroughSense, CommandBlockCarriesTheTaskFile) {
    std::vector<std::uint8_t> buf(512);
    AtaPassThroughCommand c;
    c.ext = true;
    c.protocol = PassThroughProtocol::PioDataIn;
    c.direction = PassThroughDirection::In;
    c.data = buf;
    c.regs = {.feature = 0x11,
              .count = 0x01,
              .lbaLow = 0x09,
              .lbaMid = 0x03,
              .lbaHigh = 0x00,
              .device = 0x40,
              .command = 0x24,
              .featurePrev = 0x22,
              .countPrev = 0x00,
              .lbaLowPrev = 0x10,
              .lbaMidPrev = 0x00,
              .lbaHighPrev = 0x00};
    auto b = BuildPassThrough16(c);
    std::vector<std::uint8_t> want = {0x85, 0x09, 0x2E, 0x22, 0x11, 0x00, 0x01, 0x10,
                                      0x09, 0x00, 0x03, 0x00, 0x00, 0x40, 0x24, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.end()), want);
    std::string why;
    EXPECT_TRUE(PassThroughCommandValid(c, why));
    c.timeoutMs = kMaxPassThroughTimeoutMs + 1;
    EXPECT_FALSE(PassThroughCommandValid(c, why));
    c.timeoutMs = 1000;
    c.data = std::span(buf).first(100);
    EXPECT_FALSE(PassThroughCommandValid(c, why));
    c.direction = PassThroughDirection::None;
    c.data = {};
    c.ext = false;
    c.checkCondition = false;
    c.protocol = PassThroughProtocol::NonData;
    b = BuildPassThrough16(c);
    EXPECT_EQ(b[1], 0x06);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[3], 0x00); // previous bytes only in the 48-bit form
}
