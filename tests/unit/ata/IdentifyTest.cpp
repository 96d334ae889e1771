#include "SimFixture.h"

#include <gtest/gtest.h>

namespace zkv::test {

TEST(Detect, DiskMasterAndPacketSlave) {
    SimDeviceConfig cd = Device(SimDeviceConfig::Type::Packet);
    cd.model = "  SIM CD DRIVE";
    cd.serial = "CD42";
    cd.firmware = "C1";
    Lab lab(Disk(), cd);
    EXPECT_EQ(lab.dev->DetectDevices(), 0);
    EXPECT_EQ(lab.dev->MasterInfo().kind, KIND_ATA);
    EXPECT_EQ(lab.dev->MasterInfo().model, "SIM TEST DISK");
    EXPECT_EQ(lab.dev->MasterInfo().serial, "SIM0001");
    EXPECT_EQ(lab.dev->MasterInfo().firmware, "T1.0");
    EXPECT_EQ(lab.dev->SlaveInfo().kind, KIND_PACKET);
    // A packet device's texts keep their blanks.
    EXPECT_EQ(lab.dev->SlaveInfo().model, "  SIM CD DRIVE" + std::string(26, ' '));
    EXPECT_EQ(lab.dev->SlaveInfo().serial.substr(0, 5), "CD42 ");
    // The current IDENTIFY data is the disk's; the packet device does not replace it.
    EXPECT_EQ(lab.globals.CurrentId.Model(), "SIM TEST DISK");
    EXPECT_FALSE(lab.dev->Master()); // left on the slave
    EXPECT_FALSE(lab.globals.fCriticalATAError);
}

TEST(Detect, MuteBusyAndEmptyPositions) {
    {
        Lab lab(Device(SimDeviceConfig::Type::Mute), Device(SimDeviceConfig::Type::Packet));
        lab.dev->DetectDevices();
        EXPECT_EQ(lab.dev->MasterInfo().kind, KIND_ANSWERED);
        EXPECT_EQ(lab.dev->SlaveInfo().kind, KIND_PACKET);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::None), Device(SimDeviceConfig::Type::None));
        lab.dev->DetectDevices();
        EXPECT_EQ(lab.dev->MasterInfo().kind, KIND_NONE);
        EXPECT_EQ(lab.dev->SlaveInfo().kind, KIND_NONE);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        lab.dev->DetectDevices();
        EXPECT_EQ(lab.dev->MasterInfo().kind, KIND_ANSWERED);
    }
    {
        // An absent slave behind a disk: the master answers for it with status 0 and echoes
        // its registers, but nothing reacts to IDENTIFY PACKET DEVICE: an empty position, found
        // without the reset wait that would mark a critical error.
        Lab lab(Disk(), Device(SimDeviceConfig::Type::None));
        lab.dev->DetectDevices();
        EXPECT_EQ(lab.dev->MasterInfo().kind, KIND_ATA);
        EXPECT_EQ(lab.dev->SlaveInfo().kind, KIND_NONE);
        EXPECT_FALSE(lab.globals.fCriticalATAError);
    }
}

TEST(Identify, SlaveDiskAndPacketDeviceRefusingIdentifyDevice) {
    SimDeviceConfig slave = Disk();
    slave.model = "SLAVE DISK";
    Lab lab(Device(SimDeviceConfig::Type::Packet), slave);
    lab.dev->SetMaster(false);
    DriveInfo info;
    EXPECT_EQ(lab.dev->IdentifyDevice(info), ATA_OK);
    EXPECT_EQ(info.model, "SLAVE DISK");
    lab.dev->SetMaster(true);
    DriveInfo cd;
    EXPECT_EQ(lab.dev->IdentifyDevice(cd), ATA_DEVICE_ERROR);
    AtaCommandRecord regs;
    lab.dev->ReadStatus(regs);
    EXPECT_EQ(regs.SR, 0x41);
    EXPECT_EQ(regs.ER, 0x04);
    EXPECT_EQ(lab.dev->IdentifyPacketDevice(cd), ATA_OK);
    EXPECT_EQ(cd.kind, KIND_PACKET);
}

TEST(Identify, IdentifyBlockIsWellFormed) {
    SimDeviceConfig d = Disk((1ULL << 30) + 5);
    Lab lab(d);
    auto b = lab.Master().IdentifyBlock();
    ASSERT_EQ(b.size(), 512u);
    std::uint8_t sum = 0;
    for (auto v : b)
        sum = static_cast<std::uint8_t>(sum + v);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(b[510], 0xA5);
    auto word = [&](int w) { return b[2 * w] | b[2 * w + 1] << 8; };
    EXPECT_EQ(word(60) | word(61) << 16, 0x0FFFFFFF);
    EXPECT_EQ(word(100) | word(101) << 16, (1 << 30) + 5);
    EXPECT_TRUE(word(83) & 0x0400);
}

} // namespace zkv::test
