// The controller lists: TClassInfoList holds the two classes (hard-disk controllers, then SCSI
// and RAID adapters), each a TClassInfo with its TControllerList of entries.
//
// Hard-disk-controller entries are THDCDevice objects (a channel entry can be driven); adapter
// entries are TRAIDDevice objects (listed, never driven). The lists own their entries. The
// choice of class and entry, and each entry's Master and DisabledByMe marks, are kept in
// UserSetup.ini: section "CLIST DATA" (ACTIVE, ACTIVEINDEX) and one section per entry named by
// its Driver key.
#pragma once

#include "ata/HDCDevice.h"
#include "ata/PassThroughDevice.h"
#include "platform/AtaPassThrough.h"
#include "platform/DeviceSetup.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zkv {

class IniFile;

// An adapter that is not a standard IDE controller: listed so that the user sees it, refused
// for repair.
class TRAIDDevice : public TControllerInfo {
public:
    TRAIDDevice(IDeviceSetup* setup, const DeviceSetupEntry& e, std::int32_t index);
    // Channel n's ports from the ranges: command block = range 2n, control = range 2n+1 + 2.
    int InitPorts(int n) override;
    std::uint32_t CommandPort() const { return cmdPort_; }
    std::uint32_t ControlPort() const { return ctlPort_; }

private:
    std::uint32_t cmdPort_ = 0, ctlPort_ = 0;
};

// How a pass-through channel entry reaches its disk: the backend for the entry (the Linux SG_IO
// one on its /dev/sgN, the simulated one on its simulated channel), or nullptr when there is
// none here.
using PassThroughOpener = std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)>;

namespace detail {
// Owns the backend ahead of the device that uses it.
struct PassThroughBackend {
    std::unique_ptr<AtaPassThrough> backend;
};
} // namespace detail

// A pass-through channel entry of the controller list, with its backend.
class TPassThroughChannel : private detail::PassThroughBackend, public TPassThroughDevice {
public:
    TPassThroughChannel(std::unique_ptr<AtaPassThrough> pt, TimeBase& clock, IDeviceSetup* setup,
                        const DeviceSetupEntry& e, std::int32_t index);
};

// The controller entry of a function whose disks are pass-through channels: listed, never
// driven (its channels are).
class TPassThroughController : public TControllerInfo {
public:
    TPassThroughController(IDeviceSetup* setup, const DeviceSetupEntry& e, std::int32_t index);
    int PrepareForRepair(bool& restartNeeded, bool& ok, std::string& message) override;
};

using TControllerList = std::vector<std::unique_ptr<TControllerInfo>>;

class TClassInfo : public TBase {
public:
    static constexpr int kMaxEntries = 40;

    TClassInfo(std::string name, std::string guid, DeviceClassKind kind);

    const std::string& Name() const { return className_; }
    const std::string& Guid() const { return guid_; }
    DeviceClassKind Kind() const { return kind_; }
    bool Error() const { return error_; }
    TControllerList& Entries() { return entries_; }
    const TControllerList& Entries() const { return entries_; }
    TControllerInfo* Current() const { return current_; }
    void SetCurrent(TControllerInfo* e) { current_ = e; }

protected:
    // Builds the entries from the device setup: up to 40, only those that were inited.
    void Build(IDeviceSetup& setup, TSmallPort* port, TimeBase* clock,
               const PassThroughOpener& opener = {});
    void WriteFields(TMemoryStream& s) override;
    void DumpFields(std::vector<std::string>& lines) override;

    std::string guid_;
    DeviceClassKind kind_;
    bool error_ = false;
    TControllerList entries_;
    TControllerInfo* current_ = nullptr;
};

class THDCInfo : public TClassInfo {
public:
    // The channel devices drive the disk through `port` on `clock`; pass-through channels
    // through what `opener` gives them.
    THDCInfo(IDeviceSetup& setup, TSmallPort& port, TimeBase& clock,
             const PassThroughOpener& opener = {});
};

class TRAIDInfo : public TClassInfo {
public:
    explicit TRAIDInfo(IDeviceSetup& setup);
};

class TClassInfoList {
public:
    // Builds both classes; a class whose enumeration failed is kept (with its error flag) and
    // its message is shown.
    TClassInfoList(IDeviceSetup& setup, TSmallPort& port, TimeBase& clock,
                   const PassThroughOpener& opener = {});

    std::vector<std::unique_ptr<TClassInfo>>& Classes() { return classes_; }
    TClassInfo* CurrentClass() const { return current_; }
    TControllerInfo* CurrentEntry() const { return current_ ? current_->Current() : nullptr; }
    // The current entry when it is a channel the engine can drive (an IDE channel or a
    // pass-through one).
    TControllerInfo* CurrentDevice() const {
        TControllerInfo* e = CurrentEntry();
        return e && e->Drivable() ? e : nullptr;
    }

    // Where the engine of an entry runs. By default the entry drives its channel itself; a
    // list whose channels another process drives (the disk helper) is given a maker of the
    // entry's engine there, made once per entry and kept with the list. Any thread.
    using EngineMaker = std::function<std::unique_ptr<TControllerInfo>(TControllerInfo& entry)>;
    void SetEngineMaker(EngineMaker maker) { engineMaker_ = std::move(maker); }
    // The engine of `entry` (nullptr stays nullptr).
    TControllerInfo* Engine(TControllerInfo* entry);

    // 0 when a class holds the entry (it becomes current), 1 otherwise.
    int SelectController(TControllerInfo* entry);
    // Gives back every channel marked disabled-by-me. Returns how many could not be enabled;
    // `restartNeeded` is raised when any enable asks for a restart.
    int EnableMyChannels(bool& restartNeeded);
    // DetectDevices on the current entry; 1 when there is none.
    int DetectOnCurrent();
    // Reads Disabled and Disableable of every entry again (after a change of state, which
    // concerns every entry of the same function).
    void RefreshStatus();

    void SaveSettings(IniFile& ini) const;
    // Reads every entry's marks and the stored choice. 0 when the stored class and entry were
    // restored, 1 otherwise.
    int LoadSettings(const IniFile& ini);
    // Only the entries' marks (Master, DisabledByMe, the unbound driver).
    void LoadEntrySettings(const IniFile& ini);
    void SaveEntrySettings(IniFile& ini) const;

    // The entry whose Driver key is `key` (see SameDeviceKey), or nullptr.
    TControllerInfo* FindByKey(const std::string& key) const;
    // Both classes with their entries as one stream: each class record (TBase header, GUID,
    // error flag, entry count) followed by its entries' records.
    bool WriteToStream(std::vector<std::uint8_t>& out);
    // The text description of every entry.
    std::vector<std::string> Describe();

private:
    std::vector<std::unique_ptr<TClassInfo>> classes_;
    TClassInfo* current_ = nullptr;
    EngineMaker engineMaker_;
    std::mutex enginesLock_;
    std::map<TControllerInfo*, std::unique_ptr<TControllerInfo>> engines_;
};

} // namespace zkv
