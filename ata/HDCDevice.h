// THDCDevice: one IDE channel (command block + control block) driven by port I/O, and the ATA
// command engine that runs AtaCommandRecords on it.
//
// The channel is built from the two I/O ranges the operating system allocated to it; the first
// range starts at the command block, the second at the control block. Everything above this
// class touches the drive only through these operations.
//
// Where it is written: HDCDevice.cpp (ports, selection, status and register read-back, probe,
// reset, trace, small waits), HDCCommand.cpp (the command engine up to the data phase, and the
// final wait), HDCPio.cpp (the data phases), Identify.cpp (identification and detection),
// Vendor.cpp (the vendor RAM reads).
#pragma once

#include "ata/AtaCommandRecord.h"
#include "ata/ControllerInfo.h"
#include "ata/DeviceId.h"
#include "platform/SmallPort.h"
#include "platform/TimeBase.h"
#include "support/Base.h"
#include "support/ClientLog.h"
#include "support/SharedFlags.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zkv {

// Engine state shared by every channel: the critical-error switch and the failure streak, and
// the IDENTIFY data of the drive being worked on.
struct AtaGlobals {
    static AtaGlobals& Instance();

    std::atomic<bool> fCriticalATAError{false};
    std::atomic<std::int32_t> FailureStreak{0};
    DeviceID CurrentId;
};

// Status register bits and the tests the engine uses.
namespace ata {
inline constexpr std::uint8_t BSY = 0x80, DRDY = 0x40, DWF = 0x20, DSC = 0x10, DRQ = 0x08,
                              CORR = 0x04, IDX = 0x02, ERR = 0x01;
inline constexpr std::uint8_t ER_ABRT = 0x04;
inline bool NotBusy(std::uint8_t sr) {
    return (sr & 0x80) == 0;
}
inline bool Idle(std::uint8_t sr) {
    return (sr & 0xD0) == 0x50;
}
inline bool DataRequest(std::uint8_t sr) {
    return (sr & 0xD8) == 0x58;
}
inline bool RelaxedDataRequest(std::uint8_t sr) {
    return (sr & 0x88) == 0x08;
}
inline bool Error(std::uint8_t sr) {
    return (sr & 0x81) == 0x01;
}
} // namespace ata

class THDCDevice : public TControllerInfo {
public:
    // Answers of the vendor RAM-read protocols to the engine.
    enum VendorAnswer { kVendorBadExit = 1, kVendorEnd = 2, kVendorFinalWait = 3 };

    THDCDevice(TSmallPort& port, TimeBase& clock, std::vector<IoRange> ranges,
               AtaGlobals& globals = AtaGlobals::Instance(),
               SharedFlags& flags = SharedFlags::Instance());
    // A channel entry of the controller list: the entry's I/O ranges give the ports.
    THDCDevice(TSmallPort& port, TimeBase& clock, IDeviceSetup* setup, const DeviceSetupEntry& e,
               std::int32_t index, AtaGlobals& globals = AtaGlobals::Instance(),
               SharedFlags& flags = SharedFlags::Instance());

    bool Drivable() const override { return true; }
    // Fills the port fields from the two I/O ranges (mode 0 only). 0 when done, 1 otherwise.
    int InitPorts(int mode) override;
    void SelectDevice() override;
    void ReadStatus(AtaCommandRecord& rec) override;
    // The task-file read-back: ER, SC, SN, CL, CH, DH, SR, then with EXTADDR the HOB bit in DC
    // and SC1, SN1, CL1, CH1. The end of a command and a reset with READREGS both read through it.
    bool ReadAllRegs(AtaCommandRecord& rec) override;
    void ProbeDevice(AtaCommandRecord& rec) override;

    void ExecuteCommand(AtaCommandRecord& rec) override;
    void ResetDevice(AtaCommandRecord& rec) override;
    // Runs to its own time-outs (200 ms, 40 s for a reset it needs) also under the abort
    // request: the scan's end handler turns the drive's caching back on while the technician's
    // reset waits for it.
    void SetFeatures(AtaCommandRecord& rec, std::uint8_t subcommand) override;

    int IdentifyDevice(DriveInfo& info) override;
    int IdentifyPacketDevice(DriveInfo& info) override;
    int DetectDevices() override;

    int DoToshCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    int DoFujMPGCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    int DoFujMHTCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    int DoIBMCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);

    // Fields of the channel.
    bool PortsKnown() const { return portsKnown_; }
    bool IdentifyInProgress() const { return identifyInProgress_; }
    std::int32_t PendingWords() const { return pendingWords_; }
    void SetPendingWords(std::int32_t n) { pendingWords_ = n; }
    std::int32_t CommandBase() const { return cmdBase_; }
    std::uint32_t ControlBase() const { return dcPort_; }
    // Port addresses in the order of the drive report: data, ER, FR, SC, SN, CL, CH, DH, SR, CR,
    // AC, DC.
    std::array<std::uint32_t, 12> PortList() const override;

    CClientLog& Log() override { return log_; }
    DriveInfo& MasterInfo() override { return masterInfo_; }
    DriveInfo& SlaveInfo() override { return slaveInfo_; }
    AtaGlobals& Globals() override { return globals_; }
    SharedFlags& Flags() override { return flags_; }
    TSmallPort& Port() { return port_; }
    TimeBase& Clock() override { return clock_; }
    const TimeValues& Times() const override { return tv_; }

protected:
    std::int32_t PendingWordCount() const override { return pendingWords_; }

private:
    enum class Next { Proceed, FinalWait, End, Bad };
    using StatusTest = bool (*)(std::uint8_t sr);

    std::uint8_t In8(std::int32_t port) {
        return static_cast<std::uint8_t>(port_.ReadByte(P(port)));
    }
    void Out8(std::int32_t port, std::uint8_t v) { port_.WriteByte(P(port), v); }
    static std::uint16_t P(std::int64_t port) { return static_cast<std::uint16_t>(port); }

    void ApplySelectBit(AtaCommandRecord& rec) const;
    // FR, SC, SN, CL, CH, DH, then CR: the write that starts a command.
    void WriteTaskFile(const AtaCommandRecord& rec);
    std::uint8_t PollStatus(AtaCommandRecord& rec);
    // True, with result ATA_ABORT, once the abort request is raised: every loop that waits on
    // the drive asks this on each pass, so a reset or the end of the program never waits for
    // a drive that does not answer.
    bool AbortRaised(AtaCommandRecord& rec);
    void Settle(int times);
    std::int32_t Elapsed(std::uint64_t start) { return ElapsedMs(tv_, start, clock_.Now()); }

    // Trace helpers; they write only when the record asks for a trace.
    void LogText(const AtaCommandRecord& rec, std::string_view text);
    void LogByte(const AtaCommandRecord& rec, std::string_view name, std::uint8_t v);
    void LogWord(const AtaCommandRecord& rec, std::string_view name, std::uint16_t v);
    void TraceCommand(const AtaCommandRecord& rec);

    Next BusCheck(AtaCommandRecord& rec, std::int32_t T);
    Next WaitBus(AtaCommandRecord& rec, std::int32_t T, StatusTest ready);
    // Polls the status until `ready` holds (Proceed); Bad once the abort request is raised, or,
    // with `timeoutResult` and the trace `timeoutText`, once `T` ms have passed since `start`.
    Next WaitStatus(AtaCommandRecord& rec, std::uint64_t start, std::int32_t T, StatusTest ready,
                    AtaResult timeoutResult, std::string_view timeoutText);
    Next DeviceCheck(AtaCommandRecord& rec, std::int32_t T);
    Next InternalReset(AtaCommandRecord& rec, std::string_view sent, std::string_view returned);
    Next QuantumCommand(AtaCommandRecord& rec, std::int32_t T);
    Next ErrorPath(AtaCommandRecord& rec);
    Next WaitReadyAfterWrite(AtaCommandRecord& rec, std::int32_t T, const char* timeoutText,
                             bool relaxed);
    Next DataPhase(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    Next PioRead(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    Next PioWrite(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    std::optional<Next> WriteStepStop(AtaCommandRecord& rec, std::int32_t T,
                                      std::string_view timeoutText);
    Next PioReadGrowing(AtaCommandRecord& rec, std::int32_t T, std::int32_t L, bool bytes);
    Next PioWriteBytes(AtaCommandRecord& rec, std::int32_t T, std::int32_t L);
    bool ReadOneUnit(AtaCommandRecord& rec, bool bytes);

    struct VendorSpec;
    int RunVendor(AtaCommandRecord& rec, std::int32_t T, std::int32_t L, const VendorSpec& v);

    TSmallPort& port_;
    TimeBase& clock_;
    TimeValues tv_;
    AtaGlobals& globals_;
    SharedFlags& flags_;

    std::int32_t pendingWords_ = 0;
    std::int32_t cmdBase_ = 0;
    std::int32_t erPort_ = 0, frPort_ = 0, scPort_ = 0, snPort_ = 0, clPort_ = 0, chPort_ = 0,
                 dhPort_ = 0, srPort_ = 0, crPort_ = 0;
    std::uint32_t acPort_ = 0, dcPort_ = 0;
    bool portsKnown_ = false;
    bool identifyInProgress_ = false;
    CClientLog log_;
    DriveInfo masterInfo_, slaveInfo_;

    // Per-command state of the engine.
    std::uint64_t timerStart_ = 0;
    bool watchAbort_ = true;
    bool lastLogValueOpen_ = false;
    std::string lastLogName_;
};

} // namespace zkv
