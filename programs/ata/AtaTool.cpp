#include "programs/ata/AtaTool.h"
#include "programs/ata/ControllerVerbs.h"
#include "programs/ata/ScanVerb.h"

#include "ata/HDCDevice.h"
#include "platform/LinuxSmallPort.h"
#include "sim/SimHardwareJson.h"
#include "support/ByteOrder.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>

namespace zkv {
namespace {

using nlohmann::json;

constexpr int kUsage = 2;

const char* kUsageText =
    "usage: zelkova-ata [--hardware linux | --hardware sim:FILE]\n"
    "                   [--channel CMD:CTL] [--slave] | [--device PATH|KEY]\n"
    "                   detect | identify | status | read LBA [COUNT] | exec RECORD [DATA]\n"
    "                   scan START COUNT [scan options; see scan --help]\n"
    "                   controllers | take KEY | give KEY [DRIVER]\n";

// Decimal or 0x-hex, the whole text, within [0, max].
bool ParseNumber(const std::string& s, std::uint64_t max, std::uint64_t& out) {
    if (s.empty())
        return false;
    int base = 10;
    std::string digits = s;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        digits = s.substr(2);
    }
    if (digits.empty() || digits[0] == '-' || digits[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

json DriveJson(const DriveInfo& d) {
    return {{"kind", d.kind}, {"model", d.model}, {"serial", d.serial}, {"firmware", d.firmware}};
}

struct Options {
    std::string hardware = "linux";
    std::uint16_t cmd = 0x1F0;
    std::uint16_t ctl = 0x3F6;
    bool slave = false;
    bool channel = false;
    std::string device; // a pass-through channel's /dev/sgN, /dev/sdX (simulated: its key)
    std::vector<std::string> command;
};

int Fail(std::ostream& err, const std::string& why) {
    err << "zelkova-ata: " << why << "\n" << kUsageText;
    return kUsage;
}

int Run(TControllerInfo& dev, const Options& o, std::ostream& out, std::ostream& err) {
    const std::string& verb = o.command[0];
    const std::size_t argc = o.command.size();
    dev.SetMaster(!o.slave);
    // Each run is a batch of its own: earlier failures do not stop it.
    dev.Globals().fCriticalATAError = false;
    dev.Globals().FailureStreak = 0;

    if (verb == "detect") {
        if (argc != 1)
            return Fail(err, "detect takes no arguments");
        int r = dev.DetectDevices();
        out << json{{"master", DriveJson(dev.MasterInfo())}, {"slave", DriveJson(dev.SlaveInfo())}}
                   .dump()
            << "\n";
        return r == 0 ? 0 : 1;
    }
    if (verb == "identify") {
        if (argc != 1)
            return Fail(err, "identify takes no arguments");
        DriveInfo info;
        dev.SelectDevice();
        int r = dev.IdentifyDevice(info);
        const DeviceID& id = dev.Globals().CurrentId;
        bool ok = r == 0 && info.kind == KIND_ATA;
        out << json{{"result", r},
                    {"kind", info.kind},
                    {"model", info.model},
                    {"serial", info.serial},
                    {"firmware", info.firmware},
                    {"write_cache_supported", ok && id.WriteCacheSupported()},
                    {"write_cache_enabled", ok && id.WriteCacheEnabled()},
                    {"look_ahead_supported", ok && id.LookAheadSupported()},
                    {"look_ahead_enabled", ok && id.LookAheadEnabled()}}
                   .dump()
            << "\n";
        return r == 0 ? 0 : 1;
    }
    if (verb == "status") {
        if (argc != 1)
            return Fail(err, "status takes no arguments");
        AtaCommandRecord rec;
        dev.ReadStatus(rec);
        out << json{{"result", rec.Result}, {"sr", rec.SR}, {"er", rec.ER}}.dump() << "\n";
        return rec.Result == 0 ? 0 : 1;
    }
    if (verb == "read") {
        if (argc < 2 || argc > 3)
            return Fail(err, "read takes LBA [COUNT]");
        std::uint64_t lba = 0, count = 1;
        if (!ParseNumber(o.command[1], (1ULL << 48) - 1, lba))
            return Fail(err, "bad LBA " + o.command[1]);
        if (argc == 3 && (!ParseNumber(o.command[2], 65536, count) || count == 0))
            return Fail(err, "COUNT must be 1 to 65536");
        if (lba + count > (1ULL << 48))
            return Fail(err, "the range leaves the 48-bit address space");
        AtaCommandRecord rec;
        const bool ext = lba + count - 1 > 0x0FFFFFFF || count > 256;
        rec.DH = 0xE0;
        rec.SN = static_cast<std::uint8_t>(lba);
        rec.CL = static_cast<std::uint8_t>(lba >> 8);
        rec.CH = static_cast<std::uint8_t>(lba >> 16);
        rec.SC = static_cast<std::uint8_t>(count);
        if (ext) {
            rec.CR = 0x24;
            rec.SN1 = static_cast<std::uint8_t>(lba >> 24);
            rec.CL1 = static_cast<std::uint8_t>(lba >> 32);
            rec.CH1 = static_cast<std::uint8_t>(lba >> 40);
            rec.SC1 = static_cast<std::uint8_t>(count >> 8);
            rec.Flags = RESETENABLE | READREGS | EXTADDR;
        } else {
            rec.CR = 0x20;
            rec.DH = static_cast<std::uint8_t>(0xE0 | ((lba >> 24) & 0x0F));
            rec.Flags = RESETENABLE | READREGS;
        }
        rec.Protocol = PR_PIO_READ;
        rec.DataLen = static_cast<std::int32_t>(count * 512);
        rec.Buffer.assign(count * 512, 0);
        rec.Time = 20000;
        dev.ExecuteCommand(rec);
        std::span<const std::uint8_t> data(rec.Buffer.data(),
                                           static_cast<std::size_t>(std::max(rec.DataLen, 0)));
        out << json{{"result", rec.Result}, {"sr", rec.SR}, {"er", rec.ER}, {"data", ToHex(data)}}
                   .dump()
            << "\n";
        return rec.Result == 0 ? 0 : 1;
    }
    if (verb == "exec") {
        if (argc < 2 || argc > 3)
            return Fail(err, "exec takes RECORD [DATA]");
        std::vector<std::uint8_t> recBytes, data;
        if (!FromHex(o.command[1], recBytes) || recBytes.size() != AtaCommandRecord::kSize)
            return Fail(err, "RECORD must be 47 bytes in hex");
        if (argc == 3 && !FromHex(o.command[2], data))
            return Fail(err, "DATA must be hex");
        AtaCommandRecord rec;
        rec.Decode(recBytes);
        std::vector<std::uint8_t> trace;
        json result;
        if (PrepareCommandBuffer(rec, data)) {
            if (rec.Has(WRITELOG)) {
                trace.assign(10240, 0);
                dev.Log().Attach(trace.data(), static_cast<std::uint32_t>(trace.size()));
            }
            dev.ExecuteCommand(rec);
            if (rec.Has(WRITELOG)) {
                trace.resize(dev.Log().BytesUsed());
                dev.Log().Attach(nullptr, 0);
            }
        }
        std::size_t n = 0;
        if (IsReadProtocol(rec.Protocol) && rec.DataLen > 0)
            n = std::min(static_cast<std::size_t>(rec.DataLen), rec.Buffer.size());
        auto wire = rec.Encode();
        out << json{{"record", ToHex(wire)},
                    {"result", rec.Result},
                    {"sr", rec.SR},
                    {"er", rec.ER},
                    {"time", rec.Time},
                    {"data_len", rec.DataLen},
                    {"data", ToHex(std::span<const std::uint8_t>(rec.Buffer.data(), n))},
                    {"trace", ToHex(trace)}}
                   .dump()
            << "\n";
        return rec.Result == 0 ? 0 : 1;
    }
    if (verb == "scan")
        return RunScanVerb(dev, {o.command.begin() + 1, o.command.end()}, out, err);
    return Fail(err, "unknown command " + verb);
}

} // namespace

int RunAtaTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--hardware") {
            if (++i >= args.size())
                return Fail(err, "--hardware needs a value");
            o.hardware = args[i];
        } else if (a == "--channel") {
            if (++i >= args.size())
                return Fail(err, "--channel needs CMD:CTL");
            auto colon = args[i].find(':');
            std::uint64_t c = 0, t = 0;
            if (colon == std::string::npos || !ParseNumber(args[i].substr(0, colon), 0xFFF8, c) ||
                !ParseNumber(args[i].substr(colon + 1), 0xFFFF, t))
                return Fail(err, "bad channel " + args[i]);
            o.cmd = static_cast<std::uint16_t>(c);
            o.ctl = static_cast<std::uint16_t>(t);
            o.channel = true;
        } else if (a == "--device") {
            if (++i >= args.size() || args[i].empty())
                return Fail(err, "--device needs a path");
            o.device = args[i];
        } else if (a == "--slave") {
            o.slave = true;
        } else if (a == "--help" || a == "-h") {
            out << kUsageText;
            return 0;
        } else if (!a.empty() && a[0] == '-' && a.size() > 1 && a[1] == '-') {
            return Fail(err, "unknown option " + a);
        } else {
            break;
        }
    }
    o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (o.command.empty())
        return Fail(err, "no command");
    if (!o.device.empty() && (o.channel || o.slave))
        return Fail(err, "--device goes with neither --channel nor --slave");
    if (IsControllerVerb(o.command[0])) {
        if (!o.device.empty())
            return Fail(err, "--device does not go with " + o.command[0]);
        return RunControllerVerb(o.hardware, o.command, out, err);
    }
    if (!o.device.empty()) {
        try {
            return RunOnDevice(o.hardware, o.device, out, err,
                               [&](TControllerInfo& dev) { return Run(dev, o, out, err); });
        } catch (const std::exception& e) {
            err << "zelkova-ata: " << e.what() << "\n";
            return kUsage;
        }
    }

    std::vector<IoRange> ranges = {{o.cmd, static_cast<std::uint32_t>(o.cmd + 7)}, {o.ctl, o.ctl}};
    try {
        if (o.hardware == "linux") {
            TLinuxSmallPort port({{o.cmd, 8}, {o.ctl, 1}});
            if (!port.OpenDriver()) {
                err << "zelkova-ata: no port access (" << port.LastError()
                    << "); run as root or with CAP_SYS_RAWIO\n";
                return kUsage;
            }
            SteadyTimeBase clock;
            THDCDevice dev(port, clock, ranges);
            return Run(dev, o, out, err);
        }
        if (o.hardware.rfind("sim:", 0) == 0) {
            SimHardwareConfig cfg = LoadSimHardware(o.hardware.substr(4));
            SimIdeHardware hw(cfg);
            THDCDevice dev(hw, hw.Clock(), ranges);
            return Run(dev, o, out, err);
        }
    } catch (const std::exception& e) {
        err << "zelkova-ata: " << e.what() << "\n";
        return kUsage;
    }
    return Fail(err, "unknown hardware " + o.hardware);
}

} // namespace zkv
