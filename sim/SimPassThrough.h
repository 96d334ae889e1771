// The simulated pass-through backend: ATA commands carried to a device of the simulated IDE
// hardware the way a host adapter behind the kernel's ATA pass-through carries them, so that
// the same work can run through port I/O and through pass-through and be compared.
//
// It plays the host adapter and libata: it refuses what libata refuses (the reset and the
// reserved protocols, protocols 7, 8, 9 and 15, SET FEATURES 03h, opcodes 5Ch to 5Fh) with
// ILLEGAL REQUEST, chooses the device bit itself, moves the data through the data register, and
// returns the output registers in the sense data libata gives: descriptor format (ATA Status
// Return) on success with CK_COND and on errors. As with the Linux backend, PIO data-in is sent
// without CK_COND, so a successful one has no output registers. A command that outlives its
// time-out is ended with a software reset, as the kernel's error handler resets the link.
//
// The DMA protocols move their data through the same data register; the simulated device
// knows no DMA opcodes and aborts them.
#pragma once

#include "platform/AtaPassThrough.h"
#include "platform/TimeBase.h"

#include <cstdint>

namespace zkv {

class SimIdeHardware;

class SimPassThrough final : public AtaPassThrough {
public:
    // The device `slave` (false: master) of simulated channel `channel`.
    SimPassThrough(SimIdeHardware& hw, std::size_t channel, bool slave);

    AtaPassThroughResult Execute(const AtaPassThroughCommand& cmd) override;
    bool ResetDevice(std::string& why) override;

    // Commands that reached the device.
    int Sent() const { return sent_; }

private:
    std::uint8_t In(int reg);
    void Out(int reg, std::uint8_t v);
    std::uint8_t AltStatus();
    void Control(std::uint8_t v);
    // Waits until BSY clears, at most until `deadline` ticks. False on time-out.
    bool WaitNotBusy(std::uint64_t deadline, std::uint8_t& status);

    SimIdeHardware& hw_;
    TimeBase& clock_;
    std::uint16_t cmdBase_, ctlBase_;
    bool slave_;
    int sent_ = 0;
};

} // namespace zkv
