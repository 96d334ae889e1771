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
// The configuration types are in sim/SimIdeConfig.h, the device model in sim/SimAtaDevice.h.
#pragma once

#include "platform/SmallPort.h"
#include "platform/TimeBase.h"
#include "sim/SimAtaDevice.h"
#include "sim/SimIdeConfig.h"
#include "sim/VirtualClock.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zkv {

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
