// Simulated IDE hardware: channels at given port bases, each with a master and a slave device
// behind one task-file register interface, reached through TSmallPort.
//
// The devices behave like drives: every command sets BSY for a realistic time, data moves in
// DRQ blocks of 256 words, errors set ERR with the error bits and leave the failing address in
// the LBA registers, SRST through the device-control register resets both devices, the 48-bit
// registers keep their previous content for HOB read-back, and an empty position lets the bus
// float. Time is a VirtualClock that advances 1 us per port access (deterministic tests), or
// the real steady clock with the same latencies (demos).
//
// Vendor opcodes of the simulated disk (the opcode, features and other bytes belong to the
// technician; these are the ones this model answers):
//   0xF0  RAM byte read, address SN:CH:CL (24 bits); the byte is left in SC, no data phase.
//   0xF1  RAM read, address CH:CL:SN; DRQ, the data is read from the CL port (byte or word).
//   0xF2  RAM read, address CH:CL:SN:SC (32 bits); DRQ, data from the SC port (1, 2 or 4 bytes).
//   0xF3  RAM read, address bits 16-31 from the last word written to the data port while idle,
//         bits 0-15 from CH:CL; DRQ, a 16-bit word from the ER port.
//   0xFA  nine-byte vendor parameter command: SC = 9 and CL = 0xFA, then 0xFA to CR; after that
//         nine parameter bytes, each written to FR and CL and clocked by a CR write (the byte
//         itself in the old form, 0xFF in the new). Parameter 0 chooses what follows:
//           0x01  byte read: parameters 1-3 are a RAM address (high to low), parameter 4 the
//                 count (0 = 256). Each byte shows in ER with DRQ set; a 0xFF written to CR moves
//                 to the next one. A CR write of 0 afterwards closes the mode without a command.
//           0x02  byte write: same address and count; each byte is written to FR and to CR while
//                 the status is 0x50.
//         Any other parameter 0 only records the nine bytes.
// A RAM address beyond the "ram" bytes aborts the command.
//
// 0x50 reallocates the addressed sector: it takes one sector of data out (PIO), then the
// sector's defect is cleared and its data kept.
#pragma once

#include "platform/SmallPort.h"
#include "platform/TimeBase.h"
#include "sim/SectorStore.h"
#include "sim/SimControllers.h"
#include "sim/VirtualClock.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

class SimChannel;

class SimAtaDevice {
public:
    SimAtaDevice(const SimDeviceConfig& cfg, const SimTimings& t, bool isSlave);

    SimDeviceConfig::Type Type() const { return cfg_.type; }
    bool Present() const { return cfg_.type != SimDeviceConfig::Type::None; }
    std::uint64_t Sectors() const { return sectors_; }
    bool WriteCacheEnabled() const { return wc_; }
    bool LookAheadEnabled() const { return la_; }
    bool HasDefect(std::uint64_t lba) const { return defects_.count(lba) != 0; }
    const std::array<std::uint8_t, 9>& VendorParams() const { return params_; }
    bool VendorParamsOld() const { return paramsOld_; }
    int VendorParamCommands() const { return paramCommands_; }
    const std::vector<std::uint8_t>& Ram() const { return ram_; }
    std::vector<std::uint8_t> ReadSectorForTest(std::uint64_t lba);
    std::vector<std::uint8_t> IdentifyBlock() const;
    std::uint8_t StatusForTest() const { return status_; }
    int Commands() const { return commands_; }

private:
    friend class SimChannel;
    enum class Phase { Idle, Busy, DataIn, DataOut, Reset };
    enum class After {
        None,
        Complete,
        Fail,
        LoadRead,
        AcceptWrite,
        CommitWrite,
        ResetDone,
        DataReady,
        VendorByte,
        VendorDrq,
        ParamAccepted,
    };
    enum class QMode { None, Params, ByteIn, ByteInClose, ByteOut };

    void Update(std::uint64_t now);
    std::uint32_t ReadReg(int reg, int width, bool hob);
    std::uint32_t ShadowReg(int reg, bool hob) const;
    void WriteReg(int reg, std::uint8_t v);
    std::uint32_t ReadData(int width, std::uint64_t now);
    void WriteData(std::uint16_t v, std::uint64_t now);
    void Command(std::uint8_t op, std::uint64_t now);
    void ResetAsserted();
    void ResetReleased(std::uint64_t now);

    void Busy(std::uint64_t now, std::uint64_t ns, After then);
    void Fail(std::uint8_t err);
    void FailAt(std::uint64_t lba, std::uint8_t err);
    void Complete();
    void SetSignature();
    bool AddressFromRegs(std::uint64_t& lba) const;
    std::uint32_t CountFromRegs() const;
    void PutLbaRegs(std::uint64_t lba);
    std::uint64_t SlowNs(std::uint64_t lba) const;
    int DefectError(std::uint64_t lba, bool forWrite) const;
    void StartTransfer(std::uint64_t now);
    void Vendor(std::uint8_t op, std::uint64_t now);
    void ParamByte(std::uint8_t cr, std::uint64_t now);
    bool RamAt(std::uint64_t a, int n, std::uint32_t& out) const;
    std::vector<std::uint8_t> PacketIdentifyBlock() const;

    SimDeviceConfig cfg_;
    const SimTimings& t_;
    bool isSlave_;
    std::unique_ptr<SectorStore> store_;
    std::uint64_t sectors_ = 0;
    bool wc_ = true, la_ = true;
    std::map<std::uint64_t, SimDefectKind> defects_;
    std::vector<std::uint8_t> ram_;

    // Task file (current and previous content of the 48-bit registers).
    std::uint8_t fr_ = 0, sc_ = 1, sn_ = 1, cl_ = 0, ch_ = 0;
    std::uint8_t frP_ = 0, scP_ = 0, snP_ = 0, clP_ = 0, chP_ = 0;
    std::uint8_t dh_ = 0, status_ = 0x50, error_ = 0x01;

    Phase phase_ = Phase::Idle;
    std::uint64_t busyUntil_ = 0;
    After after_ = After::None;
    std::uint8_t failError_ = 0;

    // The command being carried out.
    std::uint8_t op_ = 0;
    std::uint64_t lba_ = 0;
    std::uint32_t remaining_ = 0;
    bool ext_ = false;
    std::vector<std::uint8_t> xfer_;
    std::size_t xferPos_ = 0;
    std::uint16_t dataLatch_ = 0;

    // Vendor state.
    std::uint32_t vendorValue_ = 0;
    int vendorPort_ = 0; // register whose read delivers the DRQ unit
    QMode qmode_ = QMode::None;
    int paramCount_ = 0;
    std::array<std::uint8_t, 9> params_{};
    bool paramsOld_ = false;
    int paramCommands_ = 0;
    std::uint32_t qAddr_ = 0;
    std::uint32_t qLeft_ = 0;
    int commands_ = 0;
};

class SimChannel {
public:
    SimChannel(const SimChannelConfig& cfg, const SimTimings& t);

    std::uint32_t Read(int reg, int width, std::uint64_t now); // reg 0-7, 8 = alternate status
    void Write(int reg, std::uint32_t v, int width, std::uint64_t now); // 8 = device control

    SimAtaDevice& Master() { return master_; }
    SimAtaDevice& Slave() { return slave_; }
    const SimChannelConfig& Config() const { return cfg_; }

private:
    SimAtaDevice& Selected() { return dev_ ? slave_ : master_; }

    SimChannelConfig cfg_;
    SimAtaDevice master_;
    SimAtaDevice slave_;
    bool dev_ = false;
    std::uint8_t dc_ = 0;
};

struct SimAccess {
    std::uint16_t port;
    std::uint32_t value;
    std::uint8_t width;
    bool write;
};

class SimIdeHardware final : public TSmallPort {
public:
    explicit SimIdeHardware(const SimHardwareConfig& cfg, SimTimings timings = {});

    // The clock the engine must use with this hardware.
    TimeBase& Clock();
    VirtualClock* Virtual() { return realClock_ ? nullptr : &vclock_; }

    bool OpenDriver() override {
        open_ = true;
        return true;
    }
    void CloseDriver() override { open_ = false; }
    bool IsOpen() const override { return open_; }

    std::uint16_t ReadByte(std::uint16_t port) override;
    void WriteByte(std::uint16_t port, std::uint16_t value) override;
    std::uint16_t ReadWord(std::uint16_t port) override;
    void WriteWord(std::uint16_t port, std::uint16_t value) override;
    std::uint32_t ReadDWord(std::uint16_t port) override;
    void WriteDWord(std::uint16_t port, std::uint32_t value) override;
    // A run of data-register words under one lock; each word still counts and takes its time.
    void ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) override;
    void WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) override;

    std::size_t ChannelCount() const { return channels_.size(); }
    SimChannel& Channel(std::size_t i) { return *channels_[i]; }

    // Accesses per port (reads and writes), since construction or the last reset of the count.
    std::uint64_t Accesses(std::uint16_t port) const { return counts_[port]; }
    std::uint64_t TotalAccesses() const;
    void ResetCounts();
    // Records every access while on.
    void Record(bool on);
    std::vector<SimAccess> TakeRecording();

private:
    std::uint32_t Read(std::uint16_t port, int width);
    void Write(std::uint16_t port, std::uint32_t value, int width);
    std::uint32_t ReadLocked(std::uint16_t port, int width);
    void WriteLocked(std::uint16_t port, std::uint32_t value, int width);
    std::uint64_t Tick();

    SimTimings timings_;
    bool realClock_ = false;
    VirtualClock vclock_;
    SteadyTimeBase steady_;
    std::vector<std::unique_ptr<SimChannel>> channels_;
    // port -> channel index * 16 + register (8 = control block), or -1.
    std::vector<std::int32_t> map_;
    std::vector<std::uint64_t> counts_;
    bool open_ = true;
    bool recording_ = false;
    std::vector<SimAccess> recorded_;
    std::mutex lock_;
};

} // namespace zkv
