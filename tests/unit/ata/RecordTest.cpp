#include "ata/AtaCommandRecord.h"
#include "ata/DeviceId.h"
#include "platform/TimeBase.h"

#include <gtest/gtest.h>

namespace zkv {

TEST(AtaCommandRecord, WireLayoutIsFixedAndRoundTrips) {
    AtaCommandRecord r;
    r.Data = 0x1234;
    r.FR = 2, r.SC = 3, r.SN = 4, r.CL = 5, r.CH = 6, r.DH = 7, r.CR = 8;
    r.FR1 = 9, r.SN1 = 10, r.SC1 = 11, r.CL1 = 12, r.CH1 = 13;
    r.ER = 14, r.SR = 15, r.DC = 16, r.AC = 17, r.Protocol = 18;
    r.Time = -2;
    r.BufferRef = 0xDEADBEEF;
    r.DataLen = 0x01020304;
    r.Tag = 0xA1B2C3D4;
    r.Result = 6;
    r.RepeatCnt = 3;
    r.Flags = 0x00001820;
    auto b = r.Encode();
    ASSERT_EQ(b.size(), 47u);
    EXPECT_EQ(b[0], 0x34);
    EXPECT_EQ(b[1], 0x12);
    for (int i = 2; i <= 18; ++i)
        EXPECT_EQ(b[static_cast<std::size_t>(i)], i) << "offset " << i; // SN1 at 10, SC1 at 11
    EXPECT_EQ(b[19], 0xFE);
    EXPECT_EQ(b[22], 0xFF);
    EXPECT_EQ(b[23], 0xEF);
    EXPECT_EQ(b[27], 0x04);
    EXPECT_EQ(b[30], 0x01);
    EXPECT_EQ(b[31], 0xD4);
    EXPECT_EQ(b[35], 6);
    EXPECT_EQ(b[39], 3);
    EXPECT_EQ(b[43], 0x20);
    EXPECT_EQ(b[44], 0x18);

    AtaCommandRecord back;
    ASSERT_TRUE(back.Decode(b));
    EXPECT_EQ(back.Encode(), b);
    EXPECT_FALSE(back.Decode(std::span<const std::uint8_t>(b.data(), 46)));
}

TEST(AtaCommandRecord, NamesOfProtocolsAndFlags) {
    EXPECT_STREQ(ProtocolDisplayName(3), "PIO READ_DRDY");
    EXPECT_STREQ(ProtocolLogName(9), "PR_REG_RD_IBM_RAM");
    EXPECT_STREQ(ProtocolDisplayName(10), "");
    EXPECT_STREQ(FlagDisplayName(8), "(No Ready DRSC)");
    EXPECT_STREQ(FlagDisplayName(11), "(Write log)");
    EXPECT_EQ(FlagDisplayName(12), nullptr);
}

TEST(AtaCommandRecord, CommandBufferRules) {
    AtaCommandRecord r;
    r.Protocol = PR_PIO_READ;
    r.DataLen = 0;
    ASSERT_TRUE(PrepareCommandBuffer(r, {}));
    EXPECT_EQ(r.DataLen, 8192);
    EXPECT_EQ(r.Buffer.size(), 8192u);

    r.Protocol = PR_NO_DATA;
    r.DataLen = 512;
    ASSERT_TRUE(PrepareCommandBuffer(r, {}));
    EXPECT_TRUE(r.Buffer.empty());

    // A write announcing more than it carries sends what is there.
    std::vector<std::uint8_t> data(100, 0xAB);
    r.Protocol = PR_PIO_WRITE;
    r.DataLen = 512;
    ASSERT_TRUE(PrepareCommandBuffer(r, data));
    EXPECT_EQ(r.DataLen, 100);
    EXPECT_EQ(r.Buffer, data);

    r.Protocol = PR_REG_RD_IBM_RAM;
    r.DataLen = -5;
    ASSERT_TRUE(PrepareCommandBuffer(r, {}));
    EXPECT_EQ(r.DataLen, 8192);

    r.Protocol = PR_PIO_READ_DRDY;
    r.DataLen = 0x7FFFFFFF;
    EXPECT_FALSE(PrepareCommandBuffer(r, {}));
    EXPECT_EQ(r.Result, ATA_NO_MEMORY);
    EXPECT_EQ(r.DataLen, 0);
    EXPECT_TRUE(r.Buffer.empty());
}

TEST(TimeBase, TicksPerMillisecondAndSettle) {
    auto a = ComputeTimeValues(3'579'545);
    EXPECT_EQ(a.ticksPerMs, 3579u);
    EXPECT_EQ(a.ticksPer400ns, 2);
    EXPECT_EQ(ComputeTimeValues(10'000'000).ticksPer400ns, 4);
    EXPECT_EQ(ComputeTimeValues(1'000'000'000).ticksPer400ns, 400);
    EXPECT_EQ(ElapsedMs(a, 1000, 1000 + 3579 * 7 + 3578), 7);
}

TEST(DriveInfo, LayoutOf425Bytes) {
    DriveInfo d;
    d.serial = std::string(30, 'S'); // longer than its field: cut, terminator kept
    d.firmware = "FW";
    d.model = "MODEL";
    d.vendor = -1;
    d.kind = KIND_PACKET;
    d.ports[11] = 0x3F6;
    d.deviceDesc = "Primary IDE Channel";
    auto b = d.Encode();
    ASSERT_EQ(b.size(), 425u);
    EXPECT_EQ(b[19], 'S');
    EXPECT_EQ(b[20], 0);
    EXPECT_EQ(b[21], 'F');
    EXPECT_EQ(b[30], 'M');
    EXPECT_EQ(b[113], 0xFF);
    EXPECT_EQ(b[118], 4);
    EXPECT_EQ(b[121 + 44], 0xF6);
    EXPECT_EQ(b[121 + 45], 0x03);
    EXPECT_EQ(b[169], 'P');
    DriveInfo back;
    ASSERT_TRUE(back.Decode(b));
    EXPECT_EQ(back.serial, std::string(20, 'S'));
    EXPECT_EQ(back.deviceDesc, d.deviceDesc);
    EXPECT_EQ(back.ports[11], 0x3F6u);
}

TEST(DeviceID, TextsFeaturesAndClearing) {
    std::array<std::uint8_t, 512> raw{};
    auto put = [&](int word, const std::string& s) {
        for (std::size_t i = 0; i < s.size(); ++i)
            raw[static_cast<std::size_t>(2 * word) + (i ^ 1)] = static_cast<std::uint8_t>(s[i]);
    };
    put(27, "  PADDED MODEL                          ");
    std::string serial = "ABxCD               ";
    serial[2] = '\0'; // a zero byte inside the serial
    put(10, serial);
    put(23, "FW 1    ");
    raw[2 * 85] = 0x20; // word 85 bit 5: write cache enabled
    raw[2 * 82] = 0x60;
    DeviceID id;
    EXPECT_FALSE(id.WriteCacheEnabled());
    EXPECT_FALSE(id.IsValid());
    id.LoadIdentifyData(raw);
    EXPECT_TRUE(id.IsValid());
    EXPECT_EQ(id.Model(), "PADDED MODEL");
    EXPECT_EQ(id.Serial(), "AB_CD");
    EXPECT_EQ(id.Firmware(), "FW 1");
    EXPECT_TRUE(id.WriteCacheEnabled());
    EXPECT_FALSE(id.LookAheadEnabled());
    EXPECT_TRUE(id.LookAheadSupported());
    // Packet identification keeps the blanks.
    EXPECT_EQ(IdentifyText(raw, 27, 40).substr(0, 8), "  PADDED");
    EXPECT_EQ(IdentifyText(raw, 10, 20).substr(0, 5), "AB_CD");
    id.Clear();
    EXPECT_FALSE(id.IsValid());
    EXPECT_FALSE(id.WriteCacheSupported());
    EXPECT_EQ(id.Model(), "");
}

} // namespace zkv
