// Guest-side probe of the Linux pass-through backend: runs one task-file command (or a
// request about the channel) on a SCSI generic device and prints what came back as one JSON
// line, sense bytes included, for the host to check and to keep as test vectors.
//
//   zkv-passthrough-probe DEVICE cmd op=0xEC proto=4 [fr=N] [sc=N] [lba=N] [ext] [in=BYTES]
//                                    [out=BYTES] [nock] [timeout=MS]
//   zkv-passthrough-probe DEVICE dsense [0|1]
//   zkv-passthrough-probe DEVICE scsireset
//   zkv-passthrough-probe DEVICE linkreset
//   zkv-passthrough-probe DEVICE engine LBA COUNT     the engine (TPassThroughDevice): detection,
//                                                     then READ SECTORS (EXT beyond 2^28)
//   zkv-passthrough-probe DEVICE engine-span LBA COUNT CHUNK   the engine reads COUNT sectors
//                                                     in commands of CHUNK; prints the time
//   zkv-passthrough-probe norawio DEVICE ...          the same without CAP_SYS_RAWIO: prints
//                                                     "ioperm_errno=N" (the port permission
//                                                     then) before the request's own line
//   zkv-passthrough-probe norawio run PROGRAM ARG...  runs PROGRAM without CAP_SYS_RAWIO
// Numbers may be decimal or 0x-prefixed. The exit status is 0 when the request could be made.
#include "ata/PassThroughDevice.h"
#include "platform/LinuxAtaPassThrough.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <scsi/sg.h>
#include <string>
#include <sys/io.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

using namespace zkv;

namespace {

std::string Hex(std::span<const std::uint8_t> b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (auto c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

// IDENTIFY text fields: words of two characters, high byte first, trailing blanks dropped.
std::string IdText(const std::vector<std::uint8_t>& id, int word, int words) {
    std::string s;
    for (int w = word; w < word + words; ++w) {
        s += static_cast<char>(id[2 * w + 1]);
        s += static_cast<char>(id[2 * w]);
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    std::size_t i = s.find_first_not_of(' ');
    return i == std::string::npos ? "" : s.substr(i);
}

std::uint64_t Word(const std::vector<std::uint8_t>& id, int w) {
    return id[2 * w] | (std::uint64_t(id[2 * w + 1]) << 8);
}

const char* OutcomeName(AtaPassThroughResult::Outcome o) {
    switch (o) {
    case AtaPassThroughResult::Outcome::Completed:
        return "completed";
    case AtaPassThroughResult::Outcome::DeviceError:
        return "device_error";
    case AtaPassThroughResult::Outcome::Refused:
        return "refused";
    case AtaPassThroughResult::Outcome::TimedOut:
        return "timed_out";
    case AtaPassThroughResult::Outcome::Failed:
        return "failed";
    }
    return "?";
}

void PrintResult(const AtaPassThroughResult& r, const std::vector<std::uint8_t>& data,
                 std::uint8_t op) {
    const AtaSense& s = r.sense;
    std::printf("{\"outcome\":\"%s\",\"scsi\":%u,\"host\":%u,\"driver\":%u,\"errno\":%d,"
                "\"ms\":%u,\"transferred\":%zu,\"sense\":\"%s\",\"format\":\"%s\","
                "\"key\":%u,\"asc\":%u,\"ascq\":%u,\"misplaced\":%s",
                OutcomeName(r.outcome), r.scsiStatus, r.hostStatus, r.driverStatus, r.sysError,
                r.durationMs, r.transferred, Hex(r.senseBytes).c_str(),
                s.format == AtaSense::Format::Descriptor ? "descriptor"
                : s.format == AtaSense::Format::Fixed    ? "fixed"
                                                         : "none",
                s.key, s.asc, s.ascq, s.misplacedFixed ? "true" : "false");
    if (s.hasRegisters) {
        const AtaOutputRegisters& g = s.regs;
        std::uint64_t lba = g.lbaLow | (g.lbaMid << 8) | (std::uint64_t(g.lbaHigh) << 16);
        if (g.extend)
            lba |= (std::uint64_t(g.lbaLowPrev) << 24) | (std::uint64_t(g.lbaMidPrev) << 32) |
                   (std::uint64_t(g.lbaHighPrev) << 40);
        std::printf(",\"regs\":{\"status\":%u,\"error\":%u,\"count\":%u,\"device\":%u,"
                    "\"extend\":%s,\"count_prev\":%u,\"lba\":%llu}",
                    g.status, g.error, g.count, g.device, g.extend ? "true" : "false", g.countPrev,
                    static_cast<unsigned long long>(lba));
    }
    if (!data.empty()) {
        std::uint64_t h = 1469598103934665603ULL; // FNV-1a over the data received
        for (auto c : data)
            h = (h ^ c) * 1099511628211ULL;
        std::printf(",\"fnv\":\"%016llx\",\"head\":\"%s\"", static_cast<unsigned long long>(h),
                    Hex(std::span(data).first(std::min<std::size_t>(16, data.size()))).c_str());
        if (op == 0xEC && data.size() >= 512) {
            std::uint64_t lba28 = Word(data, 60) | (Word(data, 61) << 16);
            std::uint64_t lba48 = Word(data, 100) | (Word(data, 101) << 16) |
                                  (Word(data, 102) << 32) | (Word(data, 103) << 48);
            std::printf(",\"model\":\"%s\",\"serial\":\"%s\",\"firmware\":\"%s\","
                        "\"lba28\":%llu,\"lba48\":%llu",
                        IdText(data, 27, 20).c_str(), IdText(data, 10, 10).c_str(),
                        IdText(data, 23, 4).c_str(), static_cast<unsigned long long>(lba28),
                        static_cast<unsigned long long>(lba48));
        }
    }
    if (!r.detail.empty())
        std::printf(",\"detail\":\"%s\"", r.detail.c_str());
    std::printf("}\n");
}

std::uint64_t Num(const std::string& s) {
    return std::strtoull(s.c_str(), nullptr, 0);
}

// Gives up CAP_SYS_RAWIO for good, as a process of a user who may open the device nodes but
// holds no capability. False when the kernel would not take it.
bool DropRawIo() {
    if (::prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0)
        return false;
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &head, data) != 0)
        return false;
    const std::uint32_t bit = 1u << CAP_SYS_RAWIO;
    data[0].effective &= ~bit;
    data[0].permitted &= ~bit;
    data[0].inheritable &= ~bit;
    return ::syscall(SYS_capset, &head, data) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "norawio") {
        if (!DropRawIo()) {
            std::printf("{\"norawio\":\"%s\"}\n", std::strerror(errno));
            return 1;
        }
        std::printf("ioperm_errno=%d\n", ::ioperm(0x1F0, 8, 1) == 0 ? 0 : errno);
        std::fflush(stdout);
        ++argv;
        --argc;
        if (argc > 2 && std::string(argv[1]) == "run") {
            ::execvp(argv[2], argv + 2);
            std::printf("{\"run\":\"%s\"}\n", std::strerror(errno));
            return 1;
        }
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DEVICE cmd|dsense|scsireset|linkreset ...\n", argv[0]);
        return 2;
    }
    LinuxAtaPassThrough pt;
    std::string why;
    if (!pt.Open(argv[1], why)) {
        std::printf("{\"open\":\"%s\"}\n", why.c_str());
        return 1;
    }
    std::string verb = argv[2];
    if (verb == "dsense") {
        bool on = false;
        if (argc > 3 && !pt.SetDescriptorSense(Num(argv[3]) != 0, why)) {
            std::printf("{\"dsense_set\":\"%s\"}\n", why.c_str());
            return 1;
        }
        if (!pt.DescriptorSense(on, why)) {
            std::printf("{\"dsense\":\"%s\"}\n", why.c_str());
            return 1;
        }
        std::printf("{\"dsense\":%d}\n", on ? 1 : 0);
        return 0;
    }
    if (verb == "scsireset") {
        std::printf("{\"device\":%d,\"bus\":%d,\"host\":%d,\"target\":%d}\n",
                    pt.ScsiReset(SG_SCSI_RESET_DEVICE), pt.ScsiReset(SG_SCSI_RESET_BUS),
                    pt.ScsiReset(SG_SCSI_RESET_HOST), pt.ScsiReset(4 /* SG_SCSI_RESET_TARGET */));
        return 0;
    }
    if (verb == "linkreset") {
        bool ok = pt.ResetDevice(why);
        std::printf("{\"linkreset\":%s,\"why\":\"%s\"}\n", ok ? "true" : "false", why.c_str());
        return ok ? 0 : 1;
    }
    if (verb == "engine" && argc > 4) {
        SteadyTimeBase clock;
        AtaGlobals globals;
        SharedFlags flags;
        TPassThroughDevice dev(pt, clock, globals, flags);
        dev.DetectDevices();
        const DriveInfo& info = dev.MasterInfo();
        std::uint64_t lba = Num(argv[3]), count = Num(argv[4]);
        bool ext = lba + count > (1ULL << 28);
        AtaCommandRecord r;
        r.CR = ext ? 0x24 : 0x20;
        r.Protocol = PR_PIO_READ;
        r.Flags = RESETENABLE | READREGS | (ext ? std::uint32_t{EXTADDR} : 0u);
        r.Time = 2000;
        r.SC = count & 0xFF;
        r.SN = lba & 0xFF;
        r.CL = (lba >> 8) & 0xFF;
        r.CH = (lba >> 16) & 0xFF;
        r.DH = static_cast<std::uint8_t>(0xE0 | (ext ? 0 : (lba >> 24) & 0x0F));
        r.SC1 = (count >> 8) & 0xFF;
        r.SN1 = (lba >> 24) & 0xFF;
        r.CL1 = (lba >> 32) & 0xFF;
        r.CH1 = (lba >> 40) & 0xFF;
        r.DataLen = static_cast<std::int32_t>(std::min<std::uint64_t>(count, 256) * 512);
        r.Buffer.assign(static_cast<std::size_t>(r.DataLen), 0);
        dev.ExecuteCommand(r);
        std::uint64_t h = 1469598103934665603ULL;
        for (std::int32_t i = 0; i < r.DataLen; ++i)
            h = (h ^ r.Buffer[static_cast<std::size_t>(i)]) * 1099511628211ULL;
        std::printf("{\"kind\":%u,\"model\":\"%s\",\"serial\":\"%s\",\"firmware\":\"%s\","
                    "\"result\":%d,\"sr\":%u,\"er\":%u,\"datalen\":%d,\"fnv\":\"%016llx\","
                    "\"streak\":%d}\n",
                    info.kind, info.model.c_str(), info.serial.c_str(), info.firmware.c_str(),
                    r.Result, r.SR, r.ER, r.DataLen, static_cast<unsigned long long>(h),
                    globals.FailureStreak.load());
        return 0;
    }
    if (verb == "dma-span" && argc > 5) {
        // The same span as engine-span with READ DMA EXT straight through the backend.
        std::uint64_t lba = Num(argv[3]), count = Num(argv[4]);
        std::uint64_t chunk = std::clamp<std::uint64_t>(Num(argv[5]), 1, 256);
        SteadyTimeBase clock;
        std::vector<std::uint8_t> buf(chunk * 512);
        std::uint64_t start = clock.Now(), bad = 0;
        for (std::uint64_t at = lba; at < lba + count; at += chunk) {
            std::uint64_t n = std::min(chunk, lba + count - at);
            AtaPassThroughCommand c;
            c.ext = true;
            c.protocol = PassThroughProtocol::Dma;
            c.direction = PassThroughDirection::In;
            c.data = std::span(buf).first(n * 512);
            c.regs = {.count = static_cast<std::uint8_t>(n & 0xFF),
                      .lbaLow = static_cast<std::uint8_t>(at),
                      .lbaMid = static_cast<std::uint8_t>(at >> 8),
                      .lbaHigh = static_cast<std::uint8_t>(at >> 16),
                      .device = 0x40,
                      .command = 0x25,
                      .countPrev = static_cast<std::uint8_t>(n >> 8),
                      .lbaLowPrev = static_cast<std::uint8_t>(at >> 24)};
            bad += pt.Execute(c).outcome != AtaPassThroughResult::Outcome::Completed;
        }
        std::printf("{\"sectors\":%llu,\"ms\":%llu,\"failed\":%llu}\n",
                    static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>((clock.Now() - start) / 1'000'000),
                    static_cast<unsigned long long>(bad));
        return 0;
    }
    if (verb == "engine-span" && argc > 5) {
        SteadyTimeBase clock;
        AtaGlobals globals;
        SharedFlags flags;
        TPassThroughDevice dev(pt, clock, globals, flags);
        std::uint64_t lba = Num(argv[3]), count = Num(argv[4]);
        std::uint64_t chunk = std::clamp<std::uint64_t>(Num(argv[5]), 1, 256);
        std::uint64_t start = clock.Now(), bad = 0;
        for (std::uint64_t at = lba; at < lba + count; at += chunk) {
            std::uint64_t n = std::min(chunk, lba + count - at);
            AtaCommandRecord r;
            r.CR = 0x24;
            r.Protocol = PR_PIO_READ;
            r.Flags = EXTADDR;
            r.Time = 2000;
            r.SC = n & 0xFF;
            r.SC1 = (n >> 8) & 0xFF;
            r.SN = at & 0xFF;
            r.CL = (at >> 8) & 0xFF;
            r.CH = (at >> 16) & 0xFF;
            r.SN1 = (at >> 24) & 0xFF;
            r.CL1 = (at >> 32) & 0xFF;
            r.CH1 = (at >> 40) & 0xFF;
            r.DH = 0xE0;
            r.DataLen = static_cast<std::int32_t>(n * 512);
            r.Buffer.assign(n * 512, 0);
            dev.ExecuteCommand(r);
            bad += r.Result != ATA_OK;
        }
        std::uint64_t ns = clock.Now() - start;
        std::printf("{\"sectors\":%llu,\"ms\":%llu,\"failed\":%llu}\n",
                    static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(ns / 1'000'000),
                    static_cast<unsigned long long>(bad));
        return 0;
    }
    if (verb != "cmd")
        return 2;
    AtaPassThroughCommand c;
    c.regs.device = 0x40;
    std::uint64_t lba = 0, count = 0;
    std::size_t len = 0;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        std::string k = a.substr(0, a.find('='));
        std::string v = a.find('=') == std::string::npos ? "" : a.substr(a.find('=') + 1);
        if (k == "op")
            c.regs.command = static_cast<std::uint8_t>(Num(v));
        else if (k == "proto")
            c.protocol = static_cast<PassThroughProtocol>(Num(v));
        else if (k == "fr")
            c.regs.feature = static_cast<std::uint8_t>(Num(v));
        else if (k == "sc")
            count = Num(v);
        else if (k == "lba")
            lba = Num(v);
        else if (k == "dev")
            c.regs.device = static_cast<std::uint8_t>(Num(v));
        else if (k == "ext")
            c.ext = true;
        else if (k == "nock")
            c.checkCondition = false;
        else if (k == "timeout")
            c.timeoutMs = static_cast<std::uint32_t>(Num(v));
        else if (k == "in" || k == "out") {
            len = Num(v);
            c.direction = k == "in" ? PassThroughDirection::In : PassThroughDirection::Out;
        }
    }
    c.regs.count = count & 0xFF;
    c.regs.lbaLow = lba & 0xFF;
    c.regs.lbaMid = (lba >> 8) & 0xFF;
    c.regs.lbaHigh = (lba >> 16) & 0xFF;
    if (c.ext) {
        c.regs.countPrev = (count >> 8) & 0xFF;
        c.regs.lbaLowPrev = (lba >> 24) & 0xFF;
        c.regs.lbaMidPrev = (lba >> 32) & 0xFF;
        c.regs.lbaHighPrev = (lba >> 40) & 0xFF;
    } else {
        c.regs.device = static_cast<std::uint8_t>((c.regs.device & 0xF0) | ((lba >> 24) & 0x0F));
    }
    std::vector<std::uint8_t> data(std::min(len, kMaxPassThroughData));
    if (c.direction == PassThroughDirection::Out)
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    c.data = data;
    AtaPassThroughResult r = pt.Execute(c);
    PrintResult(r, c.direction == PassThroughDirection::In ? data : std::vector<std::uint8_t>{},
                c.regs.command);
    return r.outcome == AtaPassThroughResult::Outcome::Failed && r.sysError ? 1 : 0;
}
