#include "ata/ControllerInfo.h"

#include "ata/HDCDevice.h"

#include "support/IniFile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zkv {
namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::int32_t HexAfter(const std::string& id, const char* tag, std::size_t width) {
    auto p = id.find(tag);
    if (p == std::string::npos)
        return 0;
    std::string digits = id.substr(p + std::char_traits<char>::length(tag), width);
    std::uint32_t v = 0;
    for (char c : digits) {
        int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                            : -1;
        if (d < 0)
            break;
        v = v * 16 + static_cast<std::uint32_t>(d);
    }
    return static_cast<std::int32_t>(v);
}

std::string Line(const std::string& label, const std::string& value) {
    std::string s = label;
    if (s.size() < 26)
        s.resize(26, ' ');
    return s + value;
}

std::string HexText(std::uint32_t v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

} // namespace

void ParseHardwareId(const std::string& id, std::int32_t& ven, std::int32_t& dev,
                     std::int32_t& subsys, std::int32_t& rev) {
    ven = HexAfter(id, "VEN_", 4);
    dev = HexAfter(id, "DEV_", 4);
    subsys = HexAfter(id, "SUBSYS_", 8);
    rev = HexAfter(id, "REV_", 2);
}

TControllerInfo::TControllerInfo() {
    className_ = "TControllerInfo";
    version_ = 2;
}

void TControllerInfo::Init(IDeviceSetup* setup, const DeviceSetupEntry& e, std::int32_t index) {
    setup_ = setup;
    Index = index;
    DeviceDesc = e.deviceDesc;
    HardwareID = e.hardwareId;
    CompatibleIDs = e.compatibleIds;
    Service = e.service;
    Class = e.className;
    ClassGUID = e.classGuid;
    Driver = e.key;
    Mfg = e.mfg;
    LocationInformation = e.location;
    PhysicalDeviceObjectName = e.objectName;
    LegacyBusType = e.legacyBusType;
    BusNumber = e.busNumber;
    EnumeratorName = e.enumerator;
    DeviceAddress = e.deviceAddress;
    Function = e.function;
    PassThrough = e.passThrough;
    Block = e.block;
    // The properties without which an entry means nothing on this platform.
    Inited = !DeviceDesc.empty() && !HardwareID.empty() && !Class.empty() && !ClassGUID.empty() &&
             !Driver.empty() && !EnumeratorName.empty();
    if (!Inited)
        return;
    ParseHardwareId(HardwareID, PCIVEN, PCIDEV, PCISUBSYS, PCIREV);
    DriverIndex = 0;
    if (auto slash = Driver.rfind('\\'); slash != std::string::npos) {
        try {
            DriverIndex = std::stoi(Driver.substr(slash + 1));
        } catch (...) {
            DriverIndex = 0;
        }
    }
    ranges_.clear();
    for (const auto& [s, t] : e.ranges)
        ranges_.push_back({s, t});
    if (Index >= 0)
        RefreshStatus();
    const std::string cls = Upper(Class);
    Chanals = 0;
    if (cls == "HDC")
        Chanals = Upper(Service) == "ATAPI" || !PassThrough.empty() ? 1 : 0;
    else if (cls == "SCSIADAPTER" && PCIVEN != 0x105A)
        Chanals = ranges_.empty() ? 0 : static_cast<std::int32_t>((ranges_.size() - 1) / 2);
    DeviceDescCopy = DeviceDesc;
    ClassCopy = cls;
}

void TControllerInfo::RefreshStatus() {
    if (!setup_)
        return;
    DeviceStatus st = setup_->Status(Driver);
    Disabled = st.present && st.disabled;
    Disableable = st.present && st.disableable;
    Refusal = st.reason;
}

bool TControllerInfo::ChangeDeviceState(int state, bool& restartNeeded) {
    if (!setup_ || (state != 1 && state != 2))
        return false;
    DeviceChange c = state == 2 ? setup_->Disable(Driver) : setup_->Enable(Driver, KernelDriver);
    if (!c.ok) {
        Refusal = c.error;
        if (c.inUse)
            Disableable = false;
        return false;
    }
    if (state == 2 && !c.driver.empty())
        KernelDriver = c.driver;
    restartNeeded = c.restartNeeded;
    return true;
}

int TControllerInfo::EnableChannel(bool& restartNeeded) {
    if (!setup_)
        return 1;
    if (!Disabled)
        return 0;
    if (!ChangeDeviceState(1, restartNeeded))
        return 1;
    Disabled = false;
    return 0;
}

int TControllerInfo::PrepareForRepair(bool& restartNeeded, bool& ok, std::string& message) {
    restartNeeded = false;
    if (Upper(Class) != "HDC") {
        message = kNotIdeMessage;
        return 1;
    }
    if (ranges_.empty()) {
        message = kVirtualMessage;
        return 1;
    }
    if (!Disableable) {
        message = kCantDisableMessage;
        return 1;
    }
    if (!Disabled) {
        // Disable.
        if (!setup_)
            return 0;
        if (!ChangeDeviceState(2, restartNeeded)) {
            // In use after all (found by the check right before the unbind): the same refusal
            // as when the list showed it.
            if (!Disableable) {
                message = kCantDisableMessage;
                return 1;
            }
            return 0;
        }
        Disabled = true;
        // This run took the channel, also when the change completes only after a restart: the
        // final enable must give it back either way.
        disabledByMe_ = true;
        if (restartNeeded) {
            ok = true;
            return 0;
        }
    }
    ChosenIndex = Index;
    const int r = InitPorts(0);
    if (r == 0)
        ok = true;
    return r;
}

void TControllerInfo::LoadSettings(const IniFile& ini) {
    master_ = ini.ReadBool(Driver, "Master", true);
    disabledByMe_ = ini.ReadBool(Driver, "DisabledByMe", false);
    KernelDriver = ini.ReadString(Driver, "KernelDriver", KernelDriver);
}

void TControllerInfo::SaveSettings(IniFile& ini) const {
    ini.WriteBool(Driver, "Master", master_);
    ini.WriteBool(Driver, "DisabledByMe", disabledByMe_);
    if (!KernelDriver.empty())
        ini.WriteString(Driver, "KernelDriver", KernelDriver);
}

void TControllerInfo::WriteFields(TMemoryStream& s) {
    for (const std::string* t :
         {&DeviceDesc, &HardwareID, &CompatibleIDs, &Service, &Class, &ClassGUID, &Driver, &Mfg,
          &LocationInformation, &PhysicalDeviceObjectName, &EnumeratorName})
        WriteText(s, *t);
    for (std::int32_t v :
         {Index, DriverIndex, LegacyBusType, BusNumber, DeviceAddress, Chanals, PCIVEN, PCIDEV,
          PCISUBSYS, PCIREV, PCIBusAddress, PCIDevAddress, PCIFunctionAddress})
        WriteInt(s, v);
    WriteByte(s, Inited ? 1 : 0);
    WriteByte(s, Disabled ? 1 : 0);
    WriteByte(s, Disableable ? 1 : 0);
    WriteInt(s, static_cast<std::int32_t>(ranges_.size()));
    for (const IoRange& r : ranges_) {
        WriteInt(s, static_cast<std::int32_t>(r.start));
        WriteInt(s, static_cast<std::int32_t>(r.end));
    }
}

void TControllerInfo::ReadFields(TMemoryStream& s) {
    for (std::string* t :
         {&DeviceDesc, &HardwareID, &CompatibleIDs, &Service, &Class, &ClassGUID, &Driver, &Mfg,
          &LocationInformation, &PhysicalDeviceObjectName, &EnumeratorName})
        *t = ReadText(s);
    for (std::int32_t* v :
         {&Index, &DriverIndex, &LegacyBusType, &BusNumber, &DeviceAddress, &Chanals, &PCIVEN,
          &PCIDEV, &PCISUBSYS, &PCIREV, &PCIBusAddress, &PCIDevAddress, &PCIFunctionAddress})
        *v = ReadInt(s);
    Inited = ReadByte(s) != 0;
    Disabled = ReadByte(s) != 0;
    Disableable = ReadByte(s) != 0;
    const std::int32_t n = ReadInt(s);
    // Each range takes 8 bytes: a count the stream cannot hold is an error, not an allocation.
    if (n < 0 || static_cast<std::size_t>(n) > s.Remaining() / 8)
        throw StreamError("bad range count");
    ranges_.clear();
    for (std::int32_t i = 0; i < n; ++i) {
        IoRange r;
        r.start = static_cast<std::uint32_t>(ReadInt(s));
        r.end = static_cast<std::uint32_t>(ReadInt(s));
        ranges_.push_back(r);
    }
}

void TControllerInfo::DumpFields(std::vector<std::string>& lines) {
    if (!Inited) {
        lines.push_back(Line("Inited:", "false"));
        return;
    }
    auto num = [](std::int32_t v) { return std::to_string(v); };
    auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
    lines.push_back(Line("Inited:", "true"));
    lines.push_back(Line("Index:", num(Index)));
    lines.push_back(Line("DriverIndex:", num(DriverIndex)));
    lines.push_back(Line("DeviceDesc:", DeviceDesc));
    lines.push_back(Line("HardwareID:", HardwareID));
    lines.push_back(Line("CompatibleIDs:", CompatibleIDs));
    lines.push_back(Line("Service:", Service));
    lines.push_back(Line("Class:", Class));
    lines.push_back(Line("ClassGUID:", ClassGUID));
    lines.push_back(Line("Driver:", Driver));
    lines.push_back(Line("Mfg:", Mfg));
    lines.push_back(Line("LocationInformation:", LocationInformation));
    lines.push_back(Line("PhysicalDeviceObjectName:", PhysicalDeviceObjectName));
    lines.push_back(Line("LegacyBusType:", num(LegacyBusType)));
    lines.push_back(Line("BusNumber:", num(BusNumber)));
    lines.push_back(Line("EnumeratorName:", EnumeratorName));
    lines.push_back(Line("DeviceAddress:", num(DeviceAddress)));
    lines.push_back(Line("Chanals:", num(Chanals)));
    lines.push_back(Line("PCIVEN:", HexText(u(PCIVEN), 4)));
    lines.push_back(Line("PCIDEV:", HexText(u(PCIDEV), 4)));
    lines.push_back(Line("PCISUBSYS:", HexText(u(PCISUBSYS), 8)));
    lines.push_back(Line("PCIREV:", HexText(u(PCIREV), 4)));
    lines.push_back(Line("PCIBusAddress:", HexText(u(PCIBusAddress), 4)));
    lines.push_back(Line("PCIDevAddress:", HexText(u(PCIDevAddress), 4)));
    lines.push_back(Line("PCIFunctionAddress:", HexText(u(PCIFunctionAddress), 4)));
    lines.push_back(Line("Disabled:", Disabled ? "true" : "false"));
    lines.push_back(Line("Disableable:", Disableable ? "true" : "false"));
    for (std::size_t i = 0; i < ranges_.size(); ++i) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "Range%zu:                0x%08X 0x%08X", i + 1,
                      ranges_[i].start, ranges_[i].end);
        lines.push_back(buf);
    }
    if (version_ >= 2)
        lines.push_back(Line("MBBuffLen:", num(PendingWordCount())));
}

AtaGlobals& TControllerInfo::Globals() {
    return AtaGlobals::Instance();
}

SharedFlags& TControllerInfo::Flags() {
    return SharedFlags::Instance();
}

TimeBase& TControllerInfo::Clock() {
    static SteadyTimeBase steady;
    return steady;
}

const TimeValues& TControllerInfo::Times() const {
    static const TimeValues tv = ComputeTimeValues(SteadyTimeBase().TicksPerSecond());
    return tv;
}

} // namespace zkv
