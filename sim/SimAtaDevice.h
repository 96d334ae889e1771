// One simulated IDE device: a disk, a packet device, or one of the faulty kinds (mute, stuck
// busy). It keeps its task file, runs each command as a timed state machine (BSY for a realistic
// time, then DRQ blocks of 256 words, completion or an error), and models the media's defects,
// slow ranges and the vendor RAM. SimChannel drives it; the member definitions are spread by
// subject:
//   SimAtaDevice.cpp    life cycle, the busy/data state machine, the data port, reset
//   SimAtaTaskFile.cpp  the task-file registers and the addresses and counts they hold
//   SimAtaCommands.cpp  the command set, IDENTIFY, and the defect and timing model
//   SimAtaVendor.cpp    the vendor RAM commands and the nine-byte parameter mode
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

#include "sim/SectorStore.h"
#include "sim/SimIdeConfig.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace zkv {

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

    static constexpr std::uint8_t kIdle = 0x50;  // DRDY | DSC
    static constexpr std::uint8_t kDrq = 0x58;   // DRDY | DSC | DRQ
    static constexpr std::uint8_t kFault = 0x41; // DRDY | ERR: an error clears DSC
    static constexpr std::uint8_t kBsy = 0x80;
    static constexpr std::uint8_t kUNC = 0x40, kIDNF = 0x10, kABRT = 0x04;

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

} // namespace zkv
