// What a simulated IDE machine is made of: its channels and their port bases, the devices on
// them (kind, size, image, defects, slow ranges, RAM), the controllers the device setup lists,
// and the durations the drive model takes for its work. sim/SimHardwareJson.h reads these from
// a lab file; sim/SimIde.h builds the hardware from them.
#pragma once

#include "sim/SimControllers.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zkv {

enum class SimDefectKind { UNC, IDNF, ABRT };

struct SimDefect {
    std::uint64_t lba = 0;
    SimDefectKind kind = SimDefectKind::UNC;
};

struct SimSlow {
    std::uint64_t lba = 0;
    std::uint64_t count = 1;
    std::uint32_t ms = 0;
    std::uint32_t us = 0; // further microseconds per sector
};

struct SimDeviceConfig {
    enum class Type { None, Disk, Packet, Mute, Busy };
    Type type = Type::None;
    std::string model = "ZELKOVA SIMULATED DISK";
    std::string serial = "ZKV0000001";
    std::string firmware = "1.0";
    std::uint64_t sectors = 0; // 0: the image's size, or 2^21 without an image
    bool lba48 = true;
    std::string image; // empty: sparse zeroes in memory
    bool writeCache = true;
    bool lookAhead = true;
    std::vector<SimDefect> defects;
    std::vector<SimSlow> slow;
    std::vector<std::uint8_t> ram;
    // A faulty disk whose reads never end: after each sector the next one is there at once, DRQ
    // never drops and the command never completes (disk).
    bool endlessDrq = false;
};

struct SimChannelConfig {
    std::uint16_t commandBlock = 0x1F0;
    std::uint16_t controlBlock = 0x3F6;
    SimDeviceConfig master;
    SimDeviceConfig slave;
    // What an undriven bus reads as.
    std::uint8_t floatingBus = 0xFF;
    // The channel's devices are reached through ATA pass-through (sim/SimPassThrough.h), as a
    // disk behind AHCI or a USB bridge is, rather than through its ports.
    bool passThrough = false;
};

struct SimHardwareConfig {
    std::vector<SimChannelConfig> channels;
    bool realClock = false;
    // The controllers the device setup lists; without a list in the file, one IDE controller in
    // legacy mode over the first two channels.
    std::vector<SimControllerConfig> controllers;
    // A file that keeps the device setup's drivers and held channels from one process to the
    // next (as the kernel keeps them across a crashed program); empty: kept in memory only.
    std::string setupState;
    // The simulated computer's answer to a restart or power-off request: a lab that accepts
    // one lets the client go through its restart sequence without switching anything off.
    bool restartAccepted = false;
};

// Durations of the model, in nanoseconds.
struct SimTimings {
    std::uint64_t access = 1'000;
    std::uint64_t command = 20'000;
    std::uint64_t sectorCached = 500;   // next sector with look-ahead on
    std::uint64_t sectorMedia = 50'000; // next sector with look-ahead off
    std::uint64_t writeCached = 5'000;  // sector committed with the write cache on
    std::uint64_t writeMedia = 100'000; // sector committed with the write cache off
    std::uint64_t identify = 50'000;
    std::uint64_t verifySector = 1'000;
    std::uint64_t seek = 100'000;
    std::uint64_t resetDisk = 25'000'000;
    std::uint64_t resetPacket = 5'000'000;
    std::uint64_t vendor = 5'000;
};

} // namespace zkv
