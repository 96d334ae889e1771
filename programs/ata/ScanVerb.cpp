#include "programs/ata/ScanVerb.h"

#include "tools/ScanService.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace zkv {
namespace {

using nlohmann::json;

const char* kScanUsage =
    "usage: zelkova-ata [--hardware ...] scan START COUNT [--lba48] [--read-data] [--remap]\n"
    "         [--write] [--read-long] [--thresholds T1,T2,T3,T4,T5,T6] [--attempts N]\n"
    "         [--timeout MS] [--slice MS]\n";

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) {
    gInterrupted = true;
}

int Usage(std::ostream& err, const std::string& why) {
    err << "zelkova-ata: " << why << "\n" << kScanUsage;
    return 2;
}

// A decimal number within [lo, hi].
bool Number(const std::string& s, long long lo, long long hi, long long& out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

// Prints what the technician would receive: one line per block, and a progress bar.
class PrintingLink final : public ITechnicianLink {
public:
    PrintingLink(std::ostream& out, std::ostream& err, bool bar)
        : out_(out), err_(err), bar_(bar) {}
    void SetModel(const ScanViewModel* m) { model_ = m; }
    void ApplyReplyRouting() override {}
    bool SendToTechnician(CommandCode, std::span<const std::uint8_t> data) override {
        const auto& t = model_->Statistics().thresholds;
        for (std::size_t at = 1; at + ScanSurfaceResult::kSize <= data.size();
             at += ScanSurfaceResult::kSize) {
            const ScanSurfaceResult r = ScanSurfaceResult::DecodeFrom(data.data() + at);
            const int cls = BlockClass(r, t);
            out_ << json{{"lba", r.lba},
                         {"sectors", r.sectors},
                         {"time_ms", r.timeMs},
                         {"status", r.status},
                         {"error", r.error},
                         {"flags", r.resultFlags},
                         {"code", r.code},
                         {"class", cls},
                         {"class_text", std::string(ClassText(cls))}}
                        .dump()
                 << "\n";
            if (r.code == ATA_NO_DEVICE || r.code == ATA_DEVICE_BUSY || r.code == ATA_BUS_BUSY)
                driveFailed = true;
        }
        out_.flush();
        if (bar_) {
            const int pct = model_->Statistics().percent;
            err_ << "\r[" << std::string(static_cast<std::size_t>(pct / 2), '#')
                 << std::string(static_cast<std::size_t>(50 - pct / 2), '.') << "] " << pct << "%"
                 << (data[0] ? "\n" : "") << std::flush;
        }
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 0; }

    bool driveFailed = false;

private:
    std::ostream& out_;
    std::ostream& err_;
    bool bar_;
    const ScanViewModel* model_ = nullptr;
};

} // namespace

int RunScanVerb(TControllerInfo& dev, const std::vector<std::string>& args, std::ostream& out,
                std::ostream& err) {
    ScanSurfaceParams p;
    p.timeout = {5, 10, 20, 50, 150, 500};
    p.commandTimeout = 10000;
    p.attempts = 1;
    p.reportPeriod = 0;
    p.sliceMs = 500;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](long long lo, long long hi, long long& v) {
            return i + 1 < args.size() && Number(args[++i], lo, hi, v);
        };
        long long v = 0;
        if (a == "--help" || a == "-h") {
            out << kScanUsage;
            return 0;
        }
        if (a == "--lba48") {
            p.flags |= SCAN_LBA48;
        } else if (a == "--read-data") {
            p.flags |= SCAN_READ_DATA;
        } else if (a == "--remap") {
            p.flags |= SCAN_REMAP;
        } else if (a == "--write") {
            p.flags |= SCAN_WRITE;
        } else if (a == "--read-long") {
            p.flags |= SCAN_READ_LONG;
        } else if (a == "--attempts") {
            if (!value(1, 100, v))
                return Usage(err, "--attempts takes 1 to 100");
            p.attempts = static_cast<std::int32_t>(v);
        } else if (a == "--timeout") {
            if (!value(1, 600000, v))
                return Usage(err, "--timeout takes 1 to 600000 ms");
            p.commandTimeout = static_cast<std::uint32_t>(v);
        } else if (a == "--slice") {
            if (!value(0, 3600000, v))
                return Usage(err, "--slice takes 0 to 3600000 ms");
            p.sliceMs = static_cast<std::int32_t>(v);
        } else if (a == "--thresholds") {
            if (i + 1 >= args.size())
                return Usage(err, "--thresholds takes six numbers");
            std::stringstream ss(args[++i]);
            std::string part;
            std::size_t n = 0;
            long long prev = -1;
            while (std::getline(ss, part, ',')) {
                if (n >= 6 || !Number(part, 0, INT32_MAX, v) || v < prev)
                    return Usage(err, "--thresholds takes six ascending numbers (ms)");
                p.timeout[n++] = static_cast<std::uint32_t>(v);
                prev = v;
            }
            if (n != 6)
                return Usage(err, "--thresholds takes six ascending numbers (ms)");
        } else if (a.rfind("--", 0) == 0) {
            return Usage(err, "unknown scan option " + a);
        } else {
            positional.push_back(a);
        }
    }
    long long start = 0, count = 0;
    if (positional.size() != 2 || !Number(positional[0], 0, INT32_MAX, start) ||
        !Number(positional[1], 1, INT32_MAX, count) || start + count > INT32_MAX)
        return Usage(err, "scan takes START COUNT within the 32-bit sector range, COUNT >= 1");
    p.start = static_cast<std::int32_t>(start);
    p.count = static_cast<std::int32_t>(count);

    // The scan switches the caching features by what IDENTIFY says.
    DriveInfo info;
    dev.SelectDevice();
    if (dev.IdentifyDevice(info) != 0 || info.kind != KIND_ATA) {
        err << "zelkova-ata: the drive did not answer IDENTIFY\n";
        return 1;
    }

    const bool bar = &err == &std::cerr && isatty(STDERR_FILENO);
    PrintingLink link(out, err, bar);
    DirectMainThread main;
    ScanService service([&dev] { return &dev; }, &link, main);
    link.SetModel(&service.Model());
    gInterrupted = false;
    auto previous = std::signal(SIGINT, OnInterrupt);
    auto bytes = p.Encode();
    if (!service.StartScan(bytes, 0)) {
        std::signal(SIGINT, previous);
        return Usage(err, "the scan was refused");
    }
    while (service.ScanRunning()) {
        if (gInterrupted)
            service.RequestStop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    service.WaitForEnd();
    std::signal(SIGINT, previous);

    const ScanStatistics& st = service.Model().Statistics();
    static constexpr const char* kKeys[11] = {"timeout_1", "timeout_2", "timeout_3",   "timeout_4",
                                              "timeout_5", "timeout_6", "hdd_stalled", "abort",
                                              "unc",       "idnf",      "other"};
    json summary{{"total_sectors", st.totalSectors},
                 {"start_sector", st.startSector},
                 {"processed_sectors", st.processedSectors},
                 {"percent", st.percent},
                 {"sectors_per_rectangle", st.sectorsPerRectangle},
                 {"completed", !service.LastStopped()},
                 {"drive_failed", link.driveFailed}};
    for (std::size_t i = 0; i < 11; ++i)
        summary[kKeys[i]] = st.counters[i];
    out << json{{"summary", summary}}.dump() << "\n";
    return service.LastStopped() || link.driveFailed ? 1 : 0;
}

} // namespace zkv
