// The hardware the controller list works on, chosen by the --hardware text:
//   "linux"         port I/O through ioperm on the listed channels' ranges, the device setup
//                   from sysfs (the root command-line tool's path; the client goes through
//                   the disk helper)
//   "linux:ROOT"    the same, with sysfs and /proc read below ROOT (prepared trees)
//   "sim:FILE"      the simulated IDE hardware and controllers of FILE
// or, made by Remote, another process's hardware (the disk helper's): the device setup is the
// one given, and the ports and pass-through nodes are never opened here.
//
// Pass-through channels reach their disk through the Linux SG_IO backend on their /dev/sgN
// (opened on the first command), or through the simulated backend on their simulated channel.
#pragma once

#include "platform/AtaPassThrough.h"
#include "platform/DeviceSetup.h"
#include "platform/SmallPort.h"
#include "platform/TimeBase.h"

#include <functional>
#include <memory>
#include <string>

namespace zkv {

class SimIdeHardware;
class SimDeviceSetup;

class ChannelHardware {
public:
    // nullptr with `error` set when the text or the file is not usable.
    static std::unique_ptr<ChannelHardware> Open(const std::string& hardware, std::string& error);
    // The hardware of another process, reached through `setup`: this process has no port and
    // no pass-through backend (an access would read all ones and write nothing).
    static std::unique_ptr<ChannelHardware> Remote(std::unique_ptr<IDeviceSetup> setup);
    ~ChannelHardware();

    TSmallPort& Port() { return *port_; }
    TimeBase& Clock() { return *clock_; }
    IDeviceSetup& Setup() { return *setup_; }
    // Opens the port driver; false with the reason in `error` (no CAP_SYS_RAWIO).
    bool OpenPorts(std::string& error);
    bool Simulated() const { return sim_ != nullptr; }
    bool IsRemote() const { return remote_; }
    // The backend of a pass-through channel entry (see PassThroughOpener in ControllerList.h).
    std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)> PassThroughOpener();
    // The same over `sim` (nullptr: the SG_IO backend on the entry's node, opened on the first
    // command).
    static std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)>
    PassThroughOpenerFor(SimIdeHardware* sim);

private:
    ChannelHardware() = default;
    std::unique_ptr<TSmallPort> port_;
    std::unique_ptr<TimeBase> steady_;
    TimeBase* clock_ = nullptr;
    std::unique_ptr<IDeviceSetup> setup_;
    SimIdeHardware* sim_ = nullptr;
    bool remote_ = false;
};

} // namespace zkv
