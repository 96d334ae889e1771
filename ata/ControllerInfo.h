// TControllerInfo: one entry of the controller lists, as the operating system describes it, with
// the taking of its channel from the kernel and the giving back.
//
// THDCDevice (an IDE channel that the engine drives), TPassThroughDevice (a disk reached through
// the kernel's ATA pass-through) and TRAIDDevice (an adapter that is listed but never driven)
// derive from it. The device operations of this class do nothing; the identification ones
// answer 1. Everything above the engine (the scan, the technician's services, the detection,
// zelkova-ata) works through these operations and asks Drivable() whether an entry is a channel
// at all, so a channel of any kind is driven the same way.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "ata/DeviceId.h"
#include "platform/DeviceSetup.h"
#include "platform/TimeBase.h"
#include "support/Base.h"
#include "support/ClientLog.h"
#include "support/SharedFlags.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zkv {

class IniFile;
struct AtaGlobals;

struct IoRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
};

// The outcome of choosing a channel, shared by the selection form and the detection.
struct TChannelChoice {
    static constexpr std::size_t kMaxMessage = 1023;
    bool ok = false;
    std::string message;
    bool restartNeeded = false;
    void Clear() { *this = TChannelChoice{}; }
    void SetMessage(std::string m) {
        if (m.size() > kMaxMessage)
            m.resize(kMaxMessage);
        message = std::move(m);
    }
};

// Messages of the refusals.
inline constexpr const char* kNotIdeMessage =
    "This controller is not a standard IDE controller,\r\nit can't be used for repair.\r\n"
    "Choose another controller or attach faulted HDD to another controller\r\nand restrart the "
    "program";
inline constexpr const char* kVirtualMessage =
    "It's a virtual controller, it can't be used for repair.\r\nChoose another controller or "
    "attach faulted HDD to another controller\r\nand restrart the program";
inline constexpr const char* kCantDisableMessage =
    "This controller can't be disabled.\r\nMaybe it was used to boot system from.\r\nChoose "
    "another controller or attach faulted HDD to another controller\r\n and restart the program";

// One entry of a run handed to a channel whose engine works in another process.
struct RemoteEntry {
    enum Kind : std::uint8_t { Command = 1, Status = 2, Reset = 3 };
    std::uint8_t kind = Command;
    // A command's record with its repetitions; a writing command's data in rec.Buffer.
    AtaCommandRecord rec;
    // A command's attempts' traces (with WRITELOG).
    std::vector<std::vector<std::uint8_t>> traces;
    bool ran = false;
};

class TControllerInfo : public TBase {
public:
    TControllerInfo();
    ~TControllerInfo() override = default;

    // Fills the entry from the device setup's description; Inited tells whether every required
    // property was there. `setup` is the device set the state changes go through (may be null:
    // then the entry cannot change state).
    void Init(IDeviceSetup* setup, const DeviceSetupEntry& e, std::int32_t index);
    // Reads Disabled, Disableable and the refusal reason again from the device setup.
    void RefreshStatus();

    // --- virtual operations, in slot order after those of TBase ---
    virtual int EnableChannel(bool& restartNeeded);
    virtual int PrepareForRepair(bool& restartNeeded, bool& ok, std::string& message);
    virtual int DetectDevices() { return 0; }
    virtual int InitPorts(int) { return 1; }
    virtual void ReadStatus(AtaCommandRecord&) {}
    virtual void ExecuteCommand(AtaCommandRecord&) {}
    virtual void ResetDevice(AtaCommandRecord&) {}
    virtual void ProbeDevice(AtaCommandRecord&) {}
    virtual void SelectDevice() {}
    virtual void SetFeatures(AtaCommandRecord&, std::uint8_t) {}
    virtual void LoadSettings(const IniFile& ini);
    virtual void SaveSettings(IniFile& ini) const;
    virtual int IdentifyDevice(DriveInfo&) { return 1; }
    virtual int IdentifyPacketDevice(DriveInfo&) { return 1; }
    virtual bool ReadAllRegs(AtaCommandRecord&) { return false; }

    // --- the engine's side of a channel ---
    // True on channels the engine drives; the accessors below are then the channel's own. On
    // other entries they give an unattached log, empty drive positions, the shared engine state
    // and the steady clock, so that nothing reached through them is ever driven.
    virtual bool Drivable() const { return false; }
    virtual CClientLog& Log() { return idleLog_; }
    virtual DriveInfo& MasterInfo() { return idleMaster_; }
    virtual DriveInfo& SlaveInfo() { return idleSlave_; }
    virtual AtaGlobals& Globals();
    virtual SharedFlags& Flags();
    virtual TimeBase& Clock();
    virtual const TimeValues& Times() const;
    // Port addresses in the order of the drive report (data, ER, FR, SC, SN, CL, CH, DH, SR,
    // CR, AC, DC); zeros where the channel has no ports.
    virtual std::array<std::uint32_t, 12> PortList() const { return {}; }

    // --- a channel whose engine works in another process ---
    // True when it does: a technician's command then runs there whole (its repetitions, the
    // failure streak's rule, its traces), and a run of entries in one exchange.
    virtual bool RemoteEngine() const { return false; }
    // Runs `run` in order there; each entry that ran is marked and holds its result (those
    // after an abort do not run). `freshStreak`: the first run of a technician's batch (the
    // failure streak starts again). False when it could not be asked at all.
    virtual bool RunRemote(std::vector<RemoteEntry>&, bool /*freshStreak*/) { return false; }

    // state 1 = enable, 2 = disable.
    bool ChangeDeviceState(int state, bool& restartNeeded);

    bool Master() const { return master_; }
    void SetMaster(bool master) { master_ = master; }
    bool DisabledByMe() const { return disabledByMe_; }
    void SetDisabledByMe(bool v) { disabledByMe_ = v; }
    const std::vector<IoRange>& Ranges() const { return ranges_; }
    IDeviceSetup* DeviceSet() const { return setup_; }

    // The fields, as the operating system gives them.
    bool Inited = false;
    std::int32_t Index = -1;
    std::string DeviceDesc, HardwareID, CompatibleIDs, Service, Class, ClassGUID, Driver;
    std::int32_t DriverIndex = 0;
    std::string Mfg, LocationInformation, PhysicalDeviceObjectName;
    std::int32_t LegacyBusType = -1, BusNumber = -1;
    std::string EnumeratorName;
    std::int32_t DeviceAddress = -1;
    std::int32_t Chanals = 0;
    std::int32_t PCIVEN = 0, PCIDEV = 0, PCISUBSYS = 0, PCIREV = 0;
    std::int32_t PCIBusAddress = 0, PCIDevAddress = 0, PCIFunctionAddress = 0;
    bool Disabled = false;
    bool Disableable = false;
    // Copies for the drive report.
    std::string DeviceDescCopy, ClassCopy;
    // The Index of the entry chosen for repair (copied by PrepareForRepair).
    std::int32_t ChosenIndex = -1;
    // The kernel driver that was unbound, so that it can be bound again (kept in the settings).
    std::string KernelDriver;
    // Why the device setup says the entry cannot be disabled (for the log).
    std::string Refusal;
    // The PCI function the entry belongs to: entries of one function change state together.
    std::string Function;
    // A pass-through channel's SCSI generic node ("/dev/sg1") and block device ("sdb"); empty
    // on every other entry.
    std::string PassThrough, Block;

protected:
    void WriteFields(TMemoryStream& s) override;
    void ReadFields(TMemoryStream& s) override;
    void DumpFields(std::vector<std::string>& lines) override;
    // The count of pending words shown by records of version 2 or more.
    virtual std::int32_t PendingWordCount() const { return 0; }

    std::vector<IoRange> ranges_;
    bool master_ = true;
    bool disabledByMe_ = false;
    IDeviceSetup* setup_ = nullptr;

private:
    CClientLog idleLog_;
    DriveInfo idleMaster_, idleSlave_;
};

// Fills the four PCI numbers from a HardwareID text; a missing part leaves its number 0.
void ParseHardwareId(const std::string& id, std::int32_t& ven, std::int32_t& dev,
                     std::int32_t& subsys, std::int32_t& rev);

} // namespace zkv
