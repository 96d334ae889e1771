// A simulated drive with a scan service on it, and a link that keeps what it was given.
#pragma once

#include "tests/unit/ata/SimFixture.h"
#include "tools/ScanService.h"

#include <gtest/gtest.h>

#include <mutex>

namespace zkv::test {

struct Packet {
    bool over = false;
    std::vector<ScanSurfaceResult> records;
};

class RecordingLink final : public ITechnicianLink {
public:
    void ApplyReplyRouting() override {}
    bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) override {
        std::lock_guard g(lock);
        if (code != CMD_SHOW_SCAN || data.empty() || (data.size() - 1) % 36 != 0)
            malformed = true;
        Packet p;
        p.over = data[0] == 1;
        for (std::size_t at = 1; at + 36 <= data.size(); at += 36)
            p.records.push_back(ScanSurfaceResult::DecodeFrom(data.data() + at));
        packets.push_back(std::move(p));
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 0; }

    std::vector<ScanSurfaceResult> All() const {
        std::lock_guard g(lock);
        std::vector<ScanSurfaceResult> out;
        for (const Packet& p : packets)
            out.insert(out.end(), p.records.begin(), p.records.end());
        return out;
    }

    mutable std::mutex lock;
    std::vector<Packet> packets;
    bool malformed = false;
};

inline ScanSurfaceParams Params(std::int32_t start, std::int32_t count, std::uint8_t flags = 0) {
    ScanSurfaceParams p;
    p.start = start;
    p.count = count;
    p.blockSize = 12345; // ignored by the client
    p.timeout = {5, 10, 20, 50, 150, 500};
    p.commandTimeout = 2000;
    p.attempts = 1;
    p.reportPeriod = 0;
    p.sliceMs = 50;
    p.flags = flags;
    return p;
}

// A drive on the simulated channel, identified (so the scan knows its caching features).
// `realClock`: its slow sectors take real time.
struct ScanDrive {
    explicit ScanDrive(SimDeviceConfig disk, bool realClock = false) : lab(disk) {
        if (realClock) {
            SimHardwareConfig cfg;
            SimChannelConfig ch;
            ch.master = std::move(disk);
            cfg.channels.push_back(ch);
            cfg.realClock = true;
            lab.dev.reset();
            lab.hw = std::make_unique<SimIdeHardware>(cfg);
            lab.dev = std::make_unique<THDCDevice>(
                *lab.hw, lab.hw->Clock(), std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}},
                lab.globals, lab.flags);
        }
        DriveInfo info;
        lab.dev->SelectDevice();
        lab.dev->IdentifyDevice(info);
    }
    Lab lab;
    RecordingLink link;
};

// The drive with a scan service whose results the RecordingLink keeps.
struct ScanLab : ScanDrive {
    using ScanDrive::ScanDrive;
    bool Start(const ScanSurfaceParams& p) {
        auto bytes = p.Encode();
        return service.StartScan(bytes, 77);
    }
    // Runs a scan to its end and returns every reported record.
    std::vector<ScanSurfaceResult> Scan(const ScanSurfaceParams& p) {
        EXPECT_TRUE(Start(p));
        EXPECT_TRUE(service.WaitForEnd(std::chrono::seconds(60)));
        return link.All();
    }

    DirectMainThread main;
    ScanService service{[this] { return lab.dev.get(); }, &link, main};
};

} // namespace zkv::test
