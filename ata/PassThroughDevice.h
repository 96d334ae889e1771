// TPassThroughDevice: a disk reached through ATA pass-through (behind AHCI, another libata
// host or a USB bridge), running the engine's AtaCommandRecords through an AtaPassThrough.
//
// Results, registers, Time, DataLen, the failure streak and the critical-error rule keep the
// meaning they have on an IDE channel. What cannot travel through pass-through ends with
// result 1 (ATA_ERROR) and one line in the log saying why, never a wrong success:
//   - the vendor RAM-read protocols (6 to 9), which read the data port after the command;
//   - the byte-clocked register protocols PR_PIO_RD_Q_DRDY and PR_PIO_WR_Q_DRDY, and the
//     QUANTUMCMD / OLDQUANTUMCMD parameter sequences;
//   - WRDC (a device-control write), WRDATA (a data-port write) and NOWRITECOMMAND (a data
//     phase without a command of its own);
//   - commands the kernel refuses (reported by the backend).
// The reading protocols transfer DataLen bytes rounded up to whole sectors (at least one):
// through pass-through the length is fixed before the command, the device cannot extend it.
//
// Registers: a PIO data-in command has no output registers on success (see
// platform/AtaPassThrough.h); its SR is then 50h, the status of a completion without error,
// and READREGS leaves the other registers as they were sent, with a log line saying so. Every
// other command, and every error, returns the device's registers.
//
// Status reads send CHECK POWER MODE (a command without effect on the medium) and report its
// status; the device reset is the backend's (the kernel's link reset) followed by such a read.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "ata/ControllerInfo.h"
#include "ata/DeviceId.h"
#include "ata/HDCDevice.h"
#include "platform/AtaPassThrough.h"
#include "platform/TimeBase.h"
#include "support/ClientLog.h"
#include "support/SharedFlags.h"

#include <string>
#include <string_view>

namespace zkv {

class TPassThroughDevice : public TControllerInfo {
public:
    TPassThroughDevice(AtaPassThrough& pt, TimeBase& clock,
                       AtaGlobals& globals = AtaGlobals::Instance(),
                       SharedFlags& flags = SharedFlags::Instance());

    // Taking the channel holds the disk through the device setup (nothing is unbound); refused
    // with the message of a controller that can't be disabled when the disk is in use, with
    // the reason when it cannot be held.
    int PrepareForRepair(bool& restartNeeded, bool& ok, std::string& message) override;
    void ReadStatus(AtaCommandRecord& rec) override;
    bool ReadAllRegs(AtaCommandRecord& rec) override;
    void ExecuteCommand(AtaCommandRecord& rec) override;
    void ResetDevice(AtaCommandRecord& rec) override;
    void ProbeDevice(AtaCommandRecord& rec) override;
    void SetFeatures(AtaCommandRecord& rec, std::uint8_t subcommand) override;
    int IdentifyDevice(DriveInfo& info) override;
    int IdentifyPacketDevice(DriveInfo& info) override;
    // One device per pass-through channel: it is the master; the slave position is empty.
    int DetectDevices() override;

    bool Drivable() const override { return true; }
    CClientLog& Log() override { return log_; }
    DriveInfo& MasterInfo() override { return masterInfo_; }
    DriveInfo& SlaveInfo() override { return slaveInfo_; }
    AtaGlobals& Globals() override { return globals_; }
    SharedFlags& Flags() override { return flags_; }
    TimeBase& Clock() override { return clock_; }
    const TimeValues& Times() const override { return tv_; }
    // Why the last command did not travel, empty when it did.
    const std::string& LastRefusal() const { return refusal_; }

    // SG_IO gets this much more time than the record allows; the engine keeps its own clock.
    static constexpr std::uint32_t kTimeoutMarginMs = 5000;

private:
    // Why `rec` cannot travel through pass-through; empty when it can.
    static std::string CannotTravel(const AtaCommandRecord& rec);
    void Trace(const AtaCommandRecord& rec, std::string_view text);
    void Refuse(AtaCommandRecord& rec, std::string why);
    // Runs CHECK POWER MODE and leaves its output registers in `out`; false when it failed.
    bool StatusCommand(AtaOutputRegisters& out, std::string& why);
    void PutRegisters(AtaCommandRecord& rec, const AtaOutputRegisters& r, bool all);
    std::int32_t ElapsedSince(std::uint64_t start);

    AtaPassThrough& pt_;
    TimeBase& clock_;
    TimeValues tv_;
    AtaGlobals& globals_;
    SharedFlags& flags_;
    CClientLog log_;
    DriveInfo masterInfo_, slaveInfo_;
    std::string refusal_;
    AtaOutputRegisters last_;
    bool lastKnown_ = false;
};

} // namespace zkv
