// The same ATA records through an IDE channel (THDCDevice, port I/O) and through pass-through
// (TPassThroughDevice over the simulated backend), on the same simulated disk.
#include "ata/HDCDevice.h"
#include "ata/PassThroughDevice.h"
#include "sim/SimIde.h"
#include "sim/SimPassThrough.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace zkv;

namespace {

struct Paths {
    Paths() {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1ULL << 29;
        ch.master.defects = {{5000, SimDefectKind::UNC}};
        ch.master.slow = {{7000, 1, 5'000, 0}};
        cfg.channels.push_back(ch);
        hw = std::make_unique<SimIdeHardware>(cfg);
        ide = std::make_unique<THDCDevice>(*hw, hw->Clock(),
                                           std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}},
                                           ideGlobals, ideFlags);
        backend = std::make_unique<SimPassThrough>(*hw, 0, false);
        pt = std::make_unique<TPassThroughDevice>(*backend, hw->Clock(), ptGlobals, ptFlags);
        pt->Log().Attach(logBuf, sizeof logBuf);
    }

    // Runs a copy of `r` on each path.
    std::pair<AtaCommandRecord, AtaCommandRecord> Run(const AtaCommandRecord& r) {
        AtaCommandRecord a = r, b = r;
        ide->ExecuteCommand(a);
        pt->ExecuteCommand(b);
        return {a, b};
    }

    std::unique_ptr<SimIdeHardware> hw;
    AtaGlobals ideGlobals, ptGlobals;
    SharedFlags ideFlags, ptFlags;
    std::unique_ptr<THDCDevice> ide;
    std::unique_ptr<SimPassThrough> backend;
    std::unique_ptr<TPassThroughDevice> pt;
    std::uint8_t logBuf[4096] = {};
};

AtaCommandRecord Rw(std::uint8_t op, int protocol, std::uint64_t lba, std::uint32_t count, bool ext,
                    std::uint32_t flags = RESETENABLE | READREGS) {
    AtaCommandRecord r;
    r.CR = op;
    r.Protocol = static_cast<std::uint8_t>(protocol);
    r.Flags = flags | (ext ? std::uint32_t{EXTADDR} : 0u);
    r.Time = 2000;
    r.SC = count & 0xFF;
    r.SN = lba & 0xFF;
    r.CL = (lba >> 8) & 0xFF;
    r.CH = (lba >> 16) & 0xFF;
    r.DH = static_cast<std::uint8_t>(0xE0 | (ext ? 0 : ((lba >> 24) & 0x0F)));
    if (ext) {
        r.SC1 = (count >> 8) & 0xFF;
        r.SN1 = (lba >> 24) & 0xFF;
        r.CL1 = (lba >> 32) & 0xFF;
        r.CH1 = (lba >> 40) & 0xFF;
    }
    if (protocol != PR_NO_DATA) {
        r.DataLen = static_cast<std::int32_t>(count * 512);
        r.Buffer.assign(count * 512, 0);
    }
    return r;
}

} // namespace

TEST(PassThroughEngine, ABatchAnswersAsOnTheIdeChannel) {
    Paths p;
    AtaCommandRecord id = Rw(0xEC, PR_PIO_READ, 0, 1, false, RESETENABLE);
    auto [a, b] = p.Run(id);
    EXPECT_EQ(b.Result, ATA_OK);
    EXPECT_EQ(a.Buffer, b.Buffer);
    EXPECT_EQ(b.DataLen, 512);
    EXPECT_EQ(b.SR, 0x50);

    AtaCommandRecord w = Rw(0x34, PR_PIO_WRITE, (1ULL << 28) + 2000, 2, true);
    for (std::size_t i = 0; i < w.Buffer.size(); ++i)
        w.Buffer[i] = static_cast<std::uint8_t>(i * 3 + 1);
    std::tie(a, b) = p.Run(w);
    EXPECT_EQ(a.Result, ATA_OK);
    EXPECT_EQ(b.Result, ATA_OK);
    // The output registers of a write: the last sector written, as on the IDE channel.
    EXPECT_EQ(std::tie(a.SR, a.ER, a.SN, a.CL, a.CH, a.SN1, a.CL1, a.CH1),
              std::tie(b.SR, b.ER, b.SN, b.CL, b.CH, b.SN1, b.CL1, b.CH1));

    for (auto [lba, ext] : {std::pair{1000ULL, false}, std::pair{(1ULL << 28) + 2000, true}}) {
        std::tie(a, b) = p.Run(Rw(ext ? 0x24 : 0x20, PR_PIO_READ, lba, 2, ext));
        EXPECT_EQ(a.Result, ATA_OK);
        EXPECT_EQ(b.Result, ATA_OK);
        EXPECT_EQ(a.DataLen, b.DataLen);
        EXPECT_EQ(a.Buffer, b.Buffer);
    }
    EXPECT_EQ(b.Buffer, w.Buffer);

    std::tie(a, b) = p.Run(Rw(0x27, PR_NO_DATA, 0, 0, true));
    EXPECT_EQ(b.Result, ATA_OK);
    EXPECT_EQ(std::tie(a.SR, a.SN, a.CL, a.CH, a.SN1, a.CL1, a.CH1),
              std::tie(b.SR, b.SN, b.CL, b.CH, b.SN1, b.CL1, b.CH1));
    EXPECT_EQ(b.SN1, 0x1F); // 2^29 - 1

    // A bad sector: the same error, address and failure streak.
    std::tie(a, b) = p.Run(Rw(0x24, PR_PIO_READ, 4999, 2, true));
    EXPECT_EQ(a.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(b.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(std::tie(a.SR, a.ER, a.SN, a.CL), std::tie(b.SR, b.ER, b.SN, b.CL));
    EXPECT_EQ(a.DataLen, 512); // the sector before it, read by port I/O
    EXPECT_EQ(b.DataLen, 0);   // the kernel does not say how much of a failed read arrived
    EXPECT_EQ(p.ideGlobals.FailureStreak.load(), p.ptGlobals.FailureStreak.load());
    // An aborted command sets the streak to 7 (and the bad exit counts it).
    std::tie(a, b) = p.Run(Rw(0x80, PR_NO_DATA, 0, 0, false));
    EXPECT_EQ(b.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(p.ideGlobals.FailureStreak.load(), 8);
    EXPECT_EQ(p.ptGlobals.FailureStreak.load(), 8);
    std::tie(a, b) = p.Run(Rw(0x20, PR_PIO_READ, 1, 1, false));
    EXPECT_EQ(p.ptGlobals.FailureStreak.load(), 0);

    // Past the record's Time: a time-out on both paths, and the next command works.
    AtaCommandRecord slow = Rw(0x20, PR_PIO_READ, 7000, 1, false);
    slow.Time = 1000;
    std::tie(a, b) = p.Run(slow);
    EXPECT_EQ(a.Result, ATA_TIMEOUT);
    EXPECT_EQ(b.Result, ATA_TIMEOUT);
    AtaCommandRecord after = Rw(0x20, PR_PIO_READ, 1, 1, false);
    p.pt->ExecuteCommand(after);
    EXPECT_EQ(after.Result, ATA_OK);

    // The critical-error rule.
    p.ideGlobals.fCriticalATAError = true;
    p.ptGlobals.fCriticalATAError = true;
    std::tie(a, b) = p.Run(Rw(0x20, PR_PIO_READ, 1, 1, false));
    EXPECT_EQ(a.Result, ATA_ABORT);
    EXPECT_EQ(b.Result, ATA_ABORT);
}

TEST(PassThroughEngine, WhatCannotTravelEndsWithResultOneAndALogLine) {
    Paths p;
    std::vector<AtaCommandRecord> refused;
    for (int proto : {PR_REG_RD_TOSH_RAM, PR_REG_RD_FUJMPG_RAM, PR_REG_RD_FUJMHT_RAM,
                      PR_REG_RD_IBM_RAM, PR_PIO_RD_Q_DRDY, PR_PIO_WR_Q_DRDY})
        refused.push_back(Rw(0xF1, proto, 0, 1, false));
    for (std::uint32_t flag : {WRDC, WRDATA, NOWRITECOMMAND, QUANTUMCMD})
        refused.push_back(Rw(0xE5, PR_NO_DATA, 0, 0, false, flag));
    AtaCommandRecord mode = Rw(0xEF, PR_NO_DATA, 0, 0x46, false);
    mode.FR = 0x03; // SET FEATURES transfer mode: the kernel's
    refused.push_back(mode);
    // A write longer than one pass-through command carries (a sector past it).
    refused.push_back(Rw(0x34, PR_PIO_WRITE, 0, 65537, true));
    int sent = p.backend->Sent();
    std::uint32_t logged = p.pt->Log().BytesUsed();
    for (AtaCommandRecord& r : refused) {
        p.pt->ExecuteCommand(r);
        EXPECT_EQ(r.Result, ATA_ERROR) << int(r.Protocol) << " " << r.Flags;
        EXPECT_FALSE(p.pt->LastRefusal().empty());
        EXPECT_GT(p.pt->Log().BytesUsed(), logged);
        logged = p.pt->Log().BytesUsed();
    }
    EXPECT_EQ(p.backend->Sent(), sent);

    // Detection, IDENTIFY, the status read and the reset work on the channel.
    EXPECT_EQ(p.pt->DetectDevices(), 0);
    EXPECT_EQ(p.pt->MasterInfo().kind, KIND_ATA);
    EXPECT_EQ(p.pt->MasterInfo().model, "ZELKOVA SIMULATED DISK");
    EXPECT_EQ(p.pt->SlaveInfo().kind, KIND_NONE);
    AtaCommandRecord st;
    p.pt->ReadStatus(st);
    EXPECT_EQ(st.Result, ATA_OK);
    EXPECT_EQ(st.SR, 0x50);
    AtaCommandRecord reset;
    reset.Time = 40000;
    p.pt->ResetDevice(reset);
    EXPECT_EQ(reset.Result, ATA_OK);
    EXPECT_EQ(reset.SR, 0x50);
}
