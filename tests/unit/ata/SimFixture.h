// A simulated channel with a THDCDevice on it, isolated from the program-wide engine state.
#pragma once

#include "ata/HDCDevice.h"
#include "sim/SimIde.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zkv::test {

inline SimDeviceConfig Disk(std::uint64_t sectors = 1 << 20) {
    SimDeviceConfig d;
    d.type = SimDeviceConfig::Type::Disk;
    d.model = "SIM TEST DISK";
    d.serial = "SIM0001";
    d.firmware = "T1.0";
    d.sectors = sectors;
    return d;
}

inline SimDeviceConfig Device(SimDeviceConfig::Type t) {
    SimDeviceConfig d;
    d.type = t;
    return d;
}

struct Lab {
    explicit Lab(SimDeviceConfig master, SimDeviceConfig slave = {}, std::uint8_t floating = 0xFF) {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master = std::move(master);
        ch.slave = std::move(slave);
        ch.floatingBus = floating;
        cfg.channels.push_back(ch);
        hw = std::make_unique<SimIdeHardware>(cfg);
        dev = std::make_unique<THDCDevice>(
            *hw, hw->Clock(), std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    }

    std::uint64_t NowNs() { return hw->Virtual()->Peek(); }
    SimAtaDevice& Master() { return hw->Channel(0).Master(); }
    SimAtaDevice& Slave() { return hw->Channel(0).Slave(); }

    // A 28-bit or 48-bit READ SECTORS of `count` sectors into a fresh buffer.
    AtaCommandRecord Read(std::uint64_t lba, std::uint32_t count = 1,
                          std::uint32_t fl = RESETENABLE | READREGS, int time = 2000) {
        AtaCommandRecord r = Rw(0x20, lba, count, fl, time);
        r.Protocol = PR_PIO_READ;
        r.DataLen = static_cast<std::int32_t>(count * 512);
        r.Buffer.assign(count * 512, 0);
        dev->ExecuteCommand(r);
        return r;
    }
    AtaCommandRecord Write(std::uint64_t lba, const std::vector<std::uint8_t>& data,
                           std::uint32_t fl = RESETENABLE | READREGS, int time = 2000) {
        AtaCommandRecord r = Rw(0x30, lba, static_cast<std::uint32_t>(data.size() / 512), fl, time);
        r.Protocol = PR_PIO_WRITE;
        r.DataLen = static_cast<std::int32_t>(data.size());
        r.Buffer = data;
        dev->ExecuteCommand(r);
        return r;
    }
    static AtaCommandRecord Rw(std::uint8_t cr, std::uint64_t lba, std::uint32_t count,
                               std::uint32_t fl, int time) {
        AtaCommandRecord r;
        const bool ext = lba + count - 1 > 0x0FFFFFFF || count > 256;
        r.CR = ext ? static_cast<std::uint8_t>(cr + 4) : cr;
        r.SC = static_cast<std::uint8_t>(count);
        r.SN = static_cast<std::uint8_t>(lba);
        r.CL = static_cast<std::uint8_t>(lba >> 8);
        r.CH = static_cast<std::uint8_t>(lba >> 16);
        r.DH = static_cast<std::uint8_t>(0xE0 | (ext ? 0 : (lba >> 24) & 0x0F));
        if (ext) {
            r.SC1 = static_cast<std::uint8_t>(count >> 8);
            r.SN1 = static_cast<std::uint8_t>(lba >> 24);
            r.CL1 = static_cast<std::uint8_t>(lba >> 32);
            r.CH1 = static_cast<std::uint8_t>(lba >> 40);
            fl |= EXTADDR;
        }
        r.Flags = fl;
        r.Time = time;
        return r;
    }

    AtaGlobals globals;
    SharedFlags flags;
    std::unique_ptr<SimIdeHardware> hw;
    std::unique_ptr<THDCDevice> dev;
};

inline std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 9));
    return v;
}

// One element of a CClientLog trace.
struct LogElement {
    int kind;
    std::string text;
    std::uint32_t repeat = 0;
    std::uint16_t value = 0;
};

inline std::vector<LogElement> ParseLog(const std::uint8_t* p, std::size_t n) {
    std::vector<LogElement> out;
    std::size_t i = 0;
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(p[at]) | std::uint32_t(p[at + 1]) << 8 |
               std::uint32_t(p[at + 2]) << 16 | std::uint32_t(p[at + 3]) << 24;
    };
    while (i < n) {
        LogElement e;
        e.kind = p[i++];
        if (e.kind <= 2) {
            while (i < n && p[i])
                e.text += static_cast<char>(p[i++]);
            ++i;
        }
        if (e.kind >= 1) {
            e.repeat = u32(i);
            i += 4;
            int w = (e.kind == 1 || e.kind == 3) ? 1 : 2;
            e.value = w == 1 ? p[i] : static_cast<std::uint16_t>(p[i] | p[i + 1] << 8);
            i += static_cast<std::size_t>(w);
        }
        out.push_back(e);
    }
    return out;
}

} // namespace zkv::test
