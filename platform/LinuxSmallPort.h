// Port I/O on Linux x86-64 through ioperm(2) on the given ranges only, and the in/out
// instructions.
//
// Privilege: the process needs CAP_SYS_RAWIO (root has it). Without it OpenDriver fails, the
// port stays closed and every read yields 0. A kernel driver that owns the channel (libata,
// ata_piix) must be unbound first, or the two will fight over the registers.
//
// ioperm permissions belong to a thread. Threads started after OpenDriver inherit them; a thread
// that existed before gets them on its first access, because every access checks a per-thread
// generation number and repeats the grant when it is stale.
#pragma once

#include "platform/SmallPort.h"

#include <atomic>
#include <string>
#include <vector>

namespace zkv {

struct PortRange {
    std::uint16_t first = 0;
    std::uint16_t count = 0;
};

class TLinuxSmallPort final : public TSmallPort {
public:
    // The ranges to ask for. An empty list grants nothing: OpenDriver fails.
    explicit TLinuxSmallPort(std::vector<PortRange> ranges);
    ~TLinuxSmallPort() override;

    bool OpenDriver() override;
    void CloseDriver() override;
    bool IsOpen() const override { return open_.load(); }

    std::uint16_t ReadByte(std::uint16_t port) override;
    void WriteByte(std::uint16_t port, std::uint16_t value) override;
    std::uint16_t ReadWord(std::uint16_t port) override;
    void WriteWord(std::uint16_t port, std::uint16_t value) override;
    std::uint32_t ReadDWord(std::uint16_t port) override;
    void WriteDWord(std::uint16_t port, std::uint32_t value) override;
    void ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) override;
    void WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) override;

    // Why the last open failed (errno text), empty after a successful open.
    const std::string& LastError() const { return lastError_; }

private:
    bool Grant();
    bool Ready();

    std::vector<PortRange> ranges_;
    std::atomic<bool> open_{false};
    std::atomic<unsigned> generation_{0};
    std::string lastError_;
};

} // namespace zkv
