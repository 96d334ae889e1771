// The hardware the disk helper serves, chosen by the --hardware text:
//   "linux"        the device setup from sysfs; port I/O by ioperm on the taken channel's ranges
//   "linux:ROOT"   the same with sysfs read below ROOT (prepared trees)
//   "sim:FILE"     the simulated IDE hardware and controllers of FILE (asks for no rights)
//
// The engine reaches the ports only through a RangePort: accesses outside the ranges granted
// for the taken channel are dropped (reads give 0) and counted, whatever the backend. On Linux
// the grant is ioperm(2) for exactly those ranges; the helper never asks for iopl(2).
#pragma once

#include "ata/ControllerInfo.h"
#include "platform/AtaPassThrough.h"
#include "platform/DeviceSetup.h"
#include "platform/SmallPort.h"
#include "platform/TimeBase.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zkv {

class SimIdeHardware;

namespace helper {

class RangePort final : public TSmallPort {
public:
    // `inner` serves the accesses within the ranges; nullptr closes the port.
    void Set(TSmallPort* inner, std::vector<IoRange> ranges);
    bool Allowed(std::uint16_t port, int width) const;
    // Accesses dropped because they fell outside the granted ranges.
    std::uint64_t Refused() const { return refused_; }

    bool OpenDriver() override { return IsOpen(); }
    void CloseDriver() override {}
    bool IsOpen() const override { return inner_ != nullptr; }
    std::uint16_t ReadByte(std::uint16_t port) override;
    void WriteByte(std::uint16_t port, std::uint16_t value) override;
    std::uint16_t ReadWord(std::uint16_t port) override;
    void WriteWord(std::uint16_t port, std::uint16_t value) override;
    std::uint32_t ReadDWord(std::uint16_t port) override;
    void WriteDWord(std::uint16_t port, std::uint32_t value) override;
    void ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) override;
    void WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) override;

private:
    bool Check(std::uint16_t port, int width);
    TSmallPort* inner_ = nullptr;
    std::vector<IoRange> ranges_;
    std::uint64_t refused_ = 0;
};

class HelperHardware {
public:
    // nullptr with `error` set when the text or the file is not usable.
    static std::unique_ptr<HelperHardware> Open(const std::string& hardware, std::string& error);
    ~HelperHardware();

    IDeviceSetup& Setup() { return *setup_; }
    TimeBase& Clock() { return *clock_; }
    TSmallPort& Port() { return gate_; }
    bool Simulated() const { return sim_ != nullptr; }

    // Opens port access for exactly `ranges` (each start..end inclusive, within 0..FFFFh, at
    // least one). False with the reason in `error`; nothing is then granted.
    bool Grant(const std::vector<IoRange>& ranges, std::string& error);
    // A pass-through channel is taken: it needs no port, its commands go to its node.
    void GrantPassThrough() { passThrough_ = true; }
    // Closes port access (ioperm off for the ranges on Linux).
    void Revoke();
    // The taken channel can be driven (ports granted, or a pass-through channel).
    bool Ready() const { return passThrough_ || gate_.IsOpen(); }
    // The backend of a pass-through channel entry: SG_IO on its node, or the simulated one.
    std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)> PassThroughOpener();
    const RangePort& Gate() const { return gate_; }

private:
    HelperHardware() = default;
    std::unique_ptr<IDeviceSetup> setup_;
    std::unique_ptr<TimeBase> steady_;
    TimeBase* clock_ = nullptr;
    std::unique_ptr<SimIdeHardware> sim_;
    std::unique_ptr<TSmallPort> linuxPort_;
    RangePort gate_;
    bool passThrough_ = false;
};

} // namespace helper
} // namespace zkv
