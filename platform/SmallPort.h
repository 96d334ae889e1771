// TSmallPort: byte, word and double-word access to I/O ports.
//
// One instance serves the whole program. When port access cannot be had every read yields 0 and
// every write is dropped; callers never check individual accesses, their status tests decide.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zkv {

class TSmallPort {
public:
    virtual ~TSmallPort() = default;

    virtual bool OpenDriver() = 0;
    virtual void CloseDriver() = 0;
    virtual bool IsOpen() const = 0;
    // Closes when open, opens when closed; with `open` set, (re)opens in any case.
    virtual void ReOpen(bool open) {
        if (IsOpen())
            CloseDriver();
        if (open)
            OpenDriver();
    }

    virtual std::uint16_t ReadByte(std::uint16_t port) = 0;
    virtual void WriteByte(std::uint16_t port, std::uint16_t value) = 0;
    virtual std::uint16_t ReadWord(std::uint16_t port) = 0;
    virtual void WriteWord(std::uint16_t port, std::uint16_t value) = 0;
    virtual std::uint32_t ReadDWord(std::uint16_t port) = 0;
    virtual void WriteDWord(std::uint16_t port, std::uint32_t value) = 0;

    // A run of words from one port (the data register). Backends may do it in one instruction.
    virtual void ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            dst[i] = ReadWord(port);
    }
    virtual void WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            WriteWord(port, src[i]);
    }

    // Accesses refused because the port was not open.
    std::uint64_t FailedAccesses() const { return failed_.load(); }

protected:
    std::atomic<std::uint64_t> failed_{0};
};

} // namespace zkv
