#include "SimFixture.h"

#include <gtest/gtest.h>

namespace zkv::test {
namespace {

std::vector<SimAccess> Writes(std::vector<SimAccess> rec) {
    std::vector<SimAccess> w;
    for (const SimAccess& a : rec)
        if (a.write)
            w.push_back(a);
    return w;
}

SimDeviceConfig RamDisk(std::size_t size) {
    SimDeviceConfig d = Disk();
    d.ram = Pattern(size, 3);
    return d;
}

} // namespace

TEST(VendorRam, ToshibaIssuesOneCommandPerByteWithTheAddressInClChSn) {
    Lab lab(RamDisk(0x12010));
    AtaCommandRecord r;
    r.DH = 0xE0;
    r.CR = 0xF0;
    r.FR = 0x33;
    r.SN = 0x01;
    r.CH = 0x20;
    r.CL = 0x00;
    r.Protocol = PR_REG_RD_TOSH_RAM;
    r.DataLen = 4;
    r.Buffer.assign(4, 0);
    r.Time = 1000;
    lab.hw->Record(true);
    lab.dev->ExecuteCommand(r);
    auto w = Writes(lab.hw->TakeRecording());
    ASSERT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.DataLen, 4);
    auto ram = lab.Master().Ram();
    EXPECT_EQ(r.Buffer, std::vector<std::uint8_t>(ram.begin() + 0x12000, ram.begin() + 0x12004));
    // The select write, then per byte exactly FR, SC, SN, CL, CH, DH, CR.
    ASSERT_EQ(w.size(), 1u + 4 * 7);
    for (int k = 0; k < 4; ++k) {
        const SimAccess* c = &w[1 + 7 * static_cast<std::size_t>(k)];
        const std::uint16_t ports[] = {0x1F1, 0x1F2, 0x1F3, 0x1F4, 0x1F5, 0x1F6, 0x1F7};
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(c[i].port, ports[i]) << "command " << k << " write " << i;
        EXPECT_EQ(c[0].value, 0x33u);
        EXPECT_EQ(c[2].value, 0x01u);
        EXPECT_EQ(c[3].value, static_cast<std::uint32_t>(k)); // CL = 00, 01, 02, 03
        EXPECT_EQ(c[4].value, 0x20u);
        EXPECT_EQ(c[6].value, 0xF0u);
    }
    EXPECT_EQ(r.CL, 3); // the last address used
}

TEST(VendorRam, FujMhtReadsDoubleWordsFromSc) {
    Lab lab(RamDisk(0x400));
    AtaCommandRecord r;
    r.DH = 2;
    r.CR = 0xF2;
    r.SC = 0x10; // address 0x00000110
    r.SN = 0x01;
    r.Protocol = PR_REG_RD_FUJMHT_RAM;
    r.DataLen = 8;
    r.Buffer.assign(8, 0);
    r.Time = 1000;
    lab.hw->Record(true);
    lab.dev->ExecuteCommand(r);
    auto w = Writes(lab.hw->TakeRecording());
    ASSERT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.DataLen, 8);
    // The select write, then per unit FR, SC, SN, CL, CH, DH, CR with the address in SC..CH.
    ASSERT_EQ(w.size(), 1u + 2 * 7);
    for (int k = 0; k < 2; ++k) {
        const SimAccess* c = &w[1 + 7 * static_cast<std::size_t>(k)];
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(c[i].port, 0x1F1 + i);
        EXPECT_EQ(c[1].value, 0x10u + 4u * static_cast<std::uint32_t>(k));
        EXPECT_EQ(c[2].value, 0x01u);
        EXPECT_EQ(c[5].value, 0x02u);
    }
    auto ram = lab.Master().Ram();
    EXPECT_EQ(r.Buffer, std::vector<std::uint8_t>(ram.begin() + 0x110, ram.begin() + 0x118));
    EXPECT_EQ(r.SC, 0x14); // second unit at A + 4
}

TEST(VendorRam, FujMpgBytesStepByTwoAndUnsupportedDhEndsBadly) {
    Lab lab(RamDisk(0x400));
    AtaCommandRecord r;
    r.DH = 1;
    r.CR = 0xF1;
    r.SN = 0x20;
    r.Protocol = PR_REG_RD_FUJMPG_RAM;
    r.DataLen = 3;
    r.Buffer.assign(3, 0);
    r.Time = 1000;
    lab.dev->ExecuteCommand(r);
    ASSERT_EQ(r.Result, ATA_OK);
    auto ram = lab.Master().Ram();
    EXPECT_EQ(r.Buffer, (std::vector<std::uint8_t>{ram[0x20], ram[0x22], ram[0x24]}));

    r.DH = 5;
    r.DataLen = 3;
    int before = lab.globals.FailureStreak;
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_ERROR);
    EXPECT_EQ(r.DataLen, 0);
    EXPECT_EQ(lab.globals.FailureStreak, before + 1);
}

TEST(VendorRam, IbmWritesTheDataWordBeforeEveryCommand) {
    Lab lab(RamDisk(0x30000));
    AtaCommandRecord r;
    r.DH = 0xE0;
    r.CR = 0xF3;
    r.Data = 0x0002; // address bits 16-31
    r.CH = 0x01;
    r.CL = 0x00;
    r.Protocol = PR_REG_RD_IBM_RAM;
    r.DataLen = 4;
    r.Buffer.assign(4, 0);
    r.Time = 1000;
    lab.hw->Record(true);
    lab.dev->ExecuteCommand(r);
    auto w = Writes(lab.hw->TakeRecording());
    ASSERT_EQ(r.Result, ATA_OK);
    auto ram = lab.Master().Ram();
    const std::size_t a = 0x20100;
    EXPECT_EQ(r.Buffer, (std::vector<std::uint8_t>{ram[a], ram[a + 1], ram[a + 3], ram[a + 4]}));
    ASSERT_EQ(w.size(), 1u + 2 * 8);
    for (int k = 0; k < 2; ++k) {
        const SimAccess& d = w[1 + 8 * static_cast<std::size_t>(k)];
        EXPECT_EQ(d.port, 0x1F0);
        EXPECT_EQ(d.width, 2);
        EXPECT_EQ(d.value, 0x0002u);
        EXPECT_EQ(w[8 + 8 * static_cast<std::size_t>(k)].port, 0x1F7);
    }
}

TEST(VendorRam, LengthsThatAreNotWholeUnitsStopAndErrorsAreReported) {
    Lab lab(RamDisk(0x100));
    AtaCommandRecord r;
    r.DH = 1; // FujMHT: word units
    r.CR = 0xF2;
    r.Protocol = PR_REG_RD_FUJMHT_RAM;
    r.DataLen = 5;
    r.Buffer.assign(5, 0xEE);
    r.Time = 1000;
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.DataLen, 4);
    EXPECT_EQ(r.Buffer[4], 0xEE);

    // An address beyond the controller memory aborts: result 3 and the abort streak.
    r.DH = 0;
    r.CH = 0x7F;
    r.DataLen = 2;
    r.Time = 1000;
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(r.ER, 0x04);
    EXPECT_EQ(lab.globals.FailureStreak, 8);
}

namespace {

AtaCommandRecord Quantum(const std::array<std::uint8_t, 9>& p, bool old) {
    AtaCommandRecord r;
    r.DH = 0xA0;
    r.FR = 0xFA;
    r.SN1 = p[0];
    r.CH = p[1];
    r.CL = p[2];
    r.FR1 = p[3];
    r.SN = p[4];
    r.CR = p[5];
    r.SC1 = p[6];
    r.SC = p[7];
    r.CL1 = p[8];
    r.Flags = QUANTUMCMD | (old ? std::uint32_t{OLDQUANTUMCMD} : 0u);
    r.Time = 1000;
    return r;
}

} // namespace

TEST(VendorParameters, NineBytesArriveInOrderInBothForms) {
    for (bool old : {false, true}) {
        Lab lab(RamDisk(0x100));
        std::array<std::uint8_t, 9> p = {0x07, 1, 2, 3, 4, 5, 6, 7, 8};
        AtaCommandRecord r = Quantum(p, old);
        r.Protocol = PR_NO_DATA;
        lab.dev->ExecuteCommand(r);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_EQ(lab.Master().VendorParams(), p);
        EXPECT_EQ(lab.Master().VendorParamsOld(), old);
        EXPECT_EQ(lab.Master().VendorParamCommands(), 1);
    }
}

TEST(VendorParameters, ByteReadAndByteWriteProtocols) {
    Lab lab(RamDisk(0x100));
    // Byte read of 6 bytes from 0x000040, clocked through CR.
    AtaCommandRecord r = Quantum({0x01, 0x00, 0x00, 0x40, 6, 0, 0, 0, 0}, false);
    r.Protocol = PR_PIO_RD_Q_DRDY;
    r.DataLen = 16;
    r.Buffer.assign(16, 0);
    lab.dev->ExecuteCommand(r);
    ASSERT_EQ(r.Result, ATA_OK);
    ASSERT_EQ(r.DataLen, 6);
    auto ram = lab.Master().Ram();
    EXPECT_EQ(std::vector<std::uint8_t>(r.Buffer.begin(), r.Buffer.begin() + 6),
              std::vector<std::uint8_t>(ram.begin() + 0x40, ram.begin() + 0x46));

    // Byte write of 3 bytes to 0x000010 through FR and CR.
    AtaCommandRecord w = Quantum({0x02, 0x00, 0x00, 0x10, 3, 0, 0, 0, 0}, true);
    w.Protocol = PR_PIO_WR_Q_DRDY;
    w.Buffer = {0xA1, 0xB2, 0xC3};
    w.DataLen = 3;
    lab.dev->ExecuteCommand(w);
    ASSERT_EQ(w.Result, ATA_OK);
    EXPECT_EQ(w.DataLen, 0);
    ram = lab.Master().Ram();
    EXPECT_EQ(ram[0x10], 0xA1);
    EXPECT_EQ(ram[0x12], 0xC3);
    // The drive is idle and takes ordinary commands again.
    EXPECT_EQ(lab.Read(0).Result, ATA_OK);
}

} // namespace zkv::test
