#include "controllers/ControllerList.h"

#include "support/IniFile.h"
#include "tools/MessageDialog.h"

#include <stdexcept>

namespace zkv {
namespace {

constexpr const char* kListSection = "CLIST DATA";

// The backend of a channel that has none here: every command fails with one clear line.
class NoPassThrough final : public AtaPassThrough {
public:
    explicit NoPassThrough(std::string node) : node_(std::move(node)) {}
    AtaPassThroughResult Execute(const AtaPassThroughCommand&) override {
        AtaPassThroughResult r;
        r.outcome = AtaPassThroughResult::Outcome::Failed;
        r.detail = "no ATA pass-through to " + node_ + " here";
        return r;
    }
    bool ResetDevice(std::string& why) override {
        why = "no ATA pass-through to " + node_ + " here";
        return false;
    }

private:
    std::string node_;
};

} // namespace

TPassThroughChannel::TPassThroughChannel(std::unique_ptr<AtaPassThrough> pt, TimeBase& clock,
                                         IDeviceSetup* setup, const DeviceSetupEntry& e,
                                         std::int32_t index)
    : detail::PassThroughBackend{std::move(pt)}, TPassThroughDevice(*backend, clock) {
    Init(setup, e, index);
}

TPassThroughController::TPassThroughController(IDeviceSetup* setup, const DeviceSetupEntry& e,
                                               std::int32_t index) {
    className_ = "TRAIDDevice";
    version_ = 1;
    Init(setup, e, index);
}

int TPassThroughController::PrepareForRepair(bool& restartNeeded, bool&, std::string& message) {
    restartNeeded = false;
    message = kNotIdeMessage;
    return 1;
}

TRAIDDevice::TRAIDDevice(IDeviceSetup* setup, const DeviceSetupEntry& e, std::int32_t index) {
    className_ = "TRAIDDevice";
    version_ = 1;
    Init(setup, e, index);
    InitPorts(0);
}

int TRAIDDevice::InitPorts(int n) {
    if (PCIVEN == 0x105A || n < 0 || n >= Chanals)
        return 1;
    const auto i = static_cast<std::size_t>(n);
    if (2 * i + 1 >= ranges_.size())
        return 1;
    cmdPort_ = ranges_[2 * i].start;
    ctlPort_ = ranges_[2 * i + 1].start + 2;
    return 0;
}

TClassInfo::TClassInfo(std::string name, std::string guid, DeviceClassKind kind)
    : guid_(std::move(guid)), kind_(kind) {
    className_ = std::move(name);
}

void TClassInfo::Build(IDeviceSetup& setup, TSmallPort* port, TimeBase* clock,
                       const PassThroughOpener& opener) {
    std::vector<DeviceSetupEntry> found;
    try {
        found = setup.Enumerate(kind_);
    } catch (const std::exception&) {
        error_ = true;
    }
    for (std::size_t i = 0; i < found.size() && i < kMaxEntries; ++i) {
        const auto index = static_cast<std::int32_t>(i);
        std::unique_ptr<TControllerInfo> e;
        if (port && clock && !found[i].passThrough.empty()) {
            std::unique_ptr<AtaPassThrough> pt = opener ? opener(found[i]) : nullptr;
            if (!pt)
                pt = std::make_unique<NoPassThrough>(found[i].passThrough);
            e = std::make_unique<TPassThroughChannel>(std::move(pt), *clock, &setup, found[i],
                                                      index);
        } else if (port && clock && found[i].passThroughHost)
            e = std::make_unique<TPassThroughController>(&setup, found[i], index);
        else if (port && clock)
            e = std::make_unique<THDCDevice>(*port, *clock, &setup, found[i], index);
        else
            e = std::make_unique<TRAIDDevice>(&setup, found[i], index);
        if (e->Inited)
            entries_.push_back(std::move(e));
    }
    current_ = entries_.empty() ? nullptr : entries_.front().get();
}

void TClassInfo::WriteFields(TMemoryStream& s) {
    WriteText(s, guid_);
    WriteByte(s, error_ ? 1 : 0);
    WriteInt(s, static_cast<std::int32_t>(entries_.size()));
}

void TClassInfo::DumpFields(std::vector<std::string>& lines) {
    lines.push_back(DumpLine("ClassGUID", guid_));
    lines.push_back(DumpLine("Error", error_ ? "true" : "false"));
    lines.push_back(DumpLine("Entries", std::to_string(entries_.size())));
}

THDCInfo::THDCInfo(IDeviceSetup& setup, TSmallPort& port, TimeBase& clock,
                   const PassThroughOpener& opener)
    : TClassInfo("THDCInfo", "{4D36E96A-E325-11CE-BFC1-08002BE10318}",
                 DeviceClassKind::HardDiskController) {
    Build(setup, &port, &clock, opener);
}

TRAIDInfo::TRAIDInfo(IDeviceSetup& setup)
    : TClassInfo("TRAIDInfo", "{4D36E97B-E325-11CE-BFC1-08002BE10318}",
                 DeviceClassKind::RaidAdapter) {
    Build(setup, nullptr, nullptr);
}

TClassInfoList::TClassInfoList(IDeviceSetup& setup, TSmallPort& port, TimeBase& clock,
                               const PassThroughOpener& opener) {
    classes_.push_back(std::make_unique<THDCInfo>(setup, port, clock, opener));
    if (classes_.back()->Error())
        ShowMessageDlg("Error occured during HDC controllers list creating.", MsgDlgType::Error,
                       mb::OK);
    classes_.push_back(std::make_unique<TRAIDInfo>(setup));
    if (classes_.back()->Error())
        ShowMessageDlg("Error occured during RAID controllers list creating.", MsgDlgType::Error,
                       mb::OK);
    current_ = classes_.front().get();
}

int TClassInfoList::SelectController(TControllerInfo* entry) {
    for (auto& c : classes_)
        for (auto& e : c->Entries())
            if (e.get() == entry) {
                current_ = c.get();
                c->SetCurrent(entry);
                return 0;
            }
    return 1;
}

int TClassInfoList::EnableMyChannels(bool& restartNeeded) {
    int failed = 0;
    for (auto& c : classes_)
        for (auto& e : c->Entries()) {
            if (!e->DisabledByMe())
                continue;
            // A channel given back by another entry of the same function is no longer disabled.
            e->RefreshStatus();
            bool restart = false;
            if (e->EnableChannel(restart) != 0) {
                ++failed;
                continue;
            }
            if (restart)
                restartNeeded = true;
            else
                e->SetDisabledByMe(false);
            RefreshStatus();
        }
    return failed;
}

int TClassInfoList::DetectOnCurrent() {
    TControllerInfo* e = Engine(CurrentEntry());
    return e ? e->DetectDevices() : 1;
}

TControllerInfo* TClassInfoList::Engine(TControllerInfo* entry) {
    if (!entry || !engineMaker_)
        return entry;
    std::lock_guard g(enginesLock_);
    auto& engine = engines_[entry];
    if (!engine)
        engine = engineMaker_(*entry);
    return engine ? engine.get() : entry;
}

void TClassInfoList::RefreshStatus() {
    for (auto& c : classes_)
        for (auto& e : c->Entries())
            e->RefreshStatus();
}

void TClassInfoList::SaveSettings(IniFile& ini) const {
    if (!current_) {
        ini.WriteString(kListSection, "ACTIVE", "");
    } else {
        ini.WriteString(kListSection, "ACTIVE", current_->Name());
        ini.WriteInteger(kListSection, "ACTIVEINDEX",
                         current_->Current() ? current_->Current()->Index : -1);
    }
    SaveEntrySettings(ini);
}

void TClassInfoList::SaveEntrySettings(IniFile& ini) const {
    for (const auto& c : classes_)
        for (const auto& e : c->Entries())
            e->SaveSettings(ini);
}

void TClassInfoList::LoadEntrySettings(const IniFile& ini) {
    for (auto& c : classes_)
        for (auto& e : c->Entries())
            e->LoadSettings(ini);
}

int TClassInfoList::LoadSettings(const IniFile& ini) {
    // A class without entries has nothing to restore; that is not a failure.
    LoadEntrySettings(ini);
    const std::string active = ini.ReadString(kListSection, "ACTIVE", "");
    current_ = nullptr;
    for (auto& c : classes_)
        if (c->Name() == active)
            current_ = c.get();
    if (!current_)
        return 1;
    current_->SetCurrent(nullptr);
    const std::int32_t index = ini.ReadInteger(kListSection, "ACTIVEINDEX", -1);
    if (index < 0)
        return 1;
    for (auto& e : current_->Entries())
        if (e->Index == index) {
            current_->SetCurrent(e.get());
            return 0;
        }
    return 1;
}

TControllerInfo* TClassInfoList::FindByKey(const std::string& key) const {
    for (const auto& c : classes_)
        for (const auto& e : c->Entries())
            if (SameDeviceKey(e->Driver, key))
                return e.get();
    return nullptr;
}

bool TClassInfoList::WriteToStream(std::vector<std::uint8_t>& out) {
    TMemoryStream s;
    for (auto& c : classes_) {
        if (c->WriteToStream(s) != 0)
            return false;
        for (auto& e : c->Entries())
            if (e->WriteToStream(s) != 0)
                return false;
    }
    out = s.Bytes();
    return true;
}

std::vector<std::string> TClassInfoList::Describe() {
    std::vector<std::string> lines;
    for (auto& c : classes_) {
        c->Dump(lines);
        for (auto& e : c->Entries())
            e->Dump(lines);
    }
    return lines;
}

} // namespace zkv
