// One technician ATA batch through the client, over loopback TCP: the driver (this thread)
// writes an encoded ATA packet and waits for the reply packet; the client's framing and
// engine run on their own main-thread loop, the batch on the ATA worker, the drive is the
// simulated disk on its virtual clock (the drive's own time costs no wall time, so what is
// measured is the client). Beside it, in the same run: a bare loopback echo of byte blocks of
// the same sizes, and the pieces of the round trip on their own (the batch on the simulated
// drive without threads or sockets; encoding and decoding of the two packets).
//
// The client's main loop sleeps in poll() on the connection and on the main thread's wake-up,
// like a window system's event loop; each round trip's time is recorded, and median and p99 are
// reported as counters (microseconds).
#include "agent/FixedChannelService.h"
#include "agent/UserClientSocket.h"
#include "ata/AtaThread.h"
#include "helper/HelperClient.h"
#include "platform/PosixConnection.h"
#include "platform/QueuedMainThread.h"
#include "protocol/Framing.h"
#include "protocol/Pack.h"
#include "sim/SimIde.h"

#include "BenchSocket.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace zkv;

namespace {

using Clock = std::chrono::steady_clock;

AtaCommandRecord OneSectorRead(std::uint32_t lba) {
    AtaCommandRecord r;
    r.CR = 0x20;
    r.SC = 1;
    r.SN = static_cast<std::uint8_t>(lba);
    r.CL = static_cast<std::uint8_t>(lba >> 8);
    r.DH = 0xE0;
    r.Protocol = PR_PIO_READ;
    r.DataLen = 512;
    r.Time = 2000;
    r.Flags = RESETENABLE | READREGS;
    return r;
}

PacketRecord BatchPacket(int reads) {
    PacketConverter list;
    for (int i = 0; i < reads; ++i) {
        ItemRecord it(CMD_ATA_COMMAND, kItemFlagWantsReply);
        auto b = OneSectorRead(static_cast<std::uint32_t>(i)).Encode();
        it.SetData({b.begin(), b.end()});
        list.AddItem(std::move(it));
    }
    PacketRecord p;
    list.SerializeInto(p);
    p.header.senderRole = static_cast<std::uint8_t>(Role::TECH);
    p.header.addresseeRole = static_cast<std::uint8_t>(Role::CLIENT);
    p.header.flags = kPacketFlagAta;
    return p;
}

std::vector<std::uint8_t> Wire(PacketRecord p, const TransportData& t) {
    t.Encode(p);
    std::vector<std::uint8_t> out(kHeaderSize);
    p.header.Seal(out.data());
    out.insert(out.end(), p.body.begin(), p.body.end());
    return out;
}

void Blocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

using bench::ReadAll;
using bench::WriteAll;

// Reads one packet (header and body) and returns its total size on the wire.
std::size_t ReadPacket(int fd, std::vector<std::uint8_t>& buf) {
    buf.resize(kHeaderSize);
    if (!ReadAll(fd, buf.data(), kHeaderSize))
        return 0;
    PacketHeader h = PacketHeader::Decode(buf.data());
    buf.resize(kHeaderSize + static_cast<std::size_t>(std::max(h.wireLength, 0)));
    if (!ReadAll(fd, buf.data() + kHeaderSize, buf.size() - kHeaderSize))
        return 0;
    return buf.size();
}

// The client: framing, engine and ATA worker on a simulated disk, its main loop on a thread.
// With `throughHelper` the engine is the disk helper's, started without rights over the same
// simulated disk, as the window's channel is.
class BenchClient : public IFramingHost, public IUserClientHost, public IAtaWorkerHost {
public:
    BenchClient(int fd, bool throughHelper) : connection_(fd) {
        if (throughHelper) {
            StartHelper();
        } else {
            SimHardwareConfig cfg;
            SimChannelConfig ch;
            ch.master.type = SimDeviceConfig::Type::Disk;
            ch.master.sectors = 1 << 20;
            cfg.channels.push_back(ch);
            hw_ = std::make_unique<SimIdeHardware>(cfg);
            dev_ = std::make_unique<THDCDevice>(
                *hw_, hw_->Clock(), std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals_,
                flags_);
        }
        flags_.SetDeviceReady();
        loop_ = std::thread([this] { Loop(); });
    }
    ~BenchClient() override {
        stop_ = true;
        loop_.join();
        dev_.reset();
        helper_.reset();
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }

    void RestartPingWatchdog() override {}
    bool NoReconnectFlag() const override { return true; }
    void SetNoReconnectFlag(bool) override {}
    bool DetailedLogging() const override { return false; }
    void LogText(std::string_view) override {}
    std::int32_t OwnId() const override { return 1; }
    std::int32_t PartnerId() const override { return 0; }
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& p) override {
        worker_->Deliver(std::move(p));
        return true;
    }
    UniSocket& Processor() override { return *engine_; }
    void AddLogText(std::string_view) override {}
    void AddLogTextBold(std::string_view) override {}
    void ShowMessage(std::string_view) override {}
    void SetNoReconnect(bool) override {}
    void CloseConnection() override {}
    void StopPingTimer() override {}
    bool SendPacket(PacketRecord& p) override { return framing_->SendPacket(p); }
    bool SendAtaReply(PacketRecord& p) override { return framing_->SendPacket(p); }
    bool RepliesFromWorker() const override { return framing_->SendsFromAnyThread(); }
    void AtaLog(std::string_view) override {}

private:
    void StartHelper() {
        char dir[] = "/tmp/zkv-tech-bench-XXXXXX";
        folder_ = mkdtemp(dir);
        const std::string path = folder_ + "/hw.json";
        std::ofstream(path) << R"({"channels": [{"command_block": 496, "control_block": 1014,
                                  "master": {"type": "disk", "sectors": 1048576}}]})";
        std::string error;
        helper_ =
            helper::DiskHelperClient::Start({ZKV_DISK_HELPER, "--hardware", "sim:" + path}, error);
        helper::ChannelReply taken;
        const char* key = "pci-0000:00:01.1\\1";
        if (!helper_ || !helper_->Hello(error) || !helper_->Take(key, taken, error) || !taken.ok)
            std::abort();
        dev_ = std::make_unique<helper::THelperChannel>(*helper_, key);
    }

    void Loop() {
        QueuedMainThread main; // this thread is the client's main thread
        framing_ = std::make_unique<Framing>(connection_, *this, transport_);
        engine_ = std::make_unique<UserClientSocket>(*this, user_, settings_, DataDirectory{"/tmp"},
                                                     transport_);
        worker_ = std::make_unique<ATAThread>(
            *this, [this] { return dev_.get(); }, main, globals_, flags_);
        // Sleeps in poll() on the connection and the main thread's wake-up, as a window
        // system's event loop does.
        while (!stop_) {
            pollfd p[2] = {{connection_.Fd(), POLLIN, 0}, {main.WakeFd(), POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0)
                continue;
            if (p[1].revents)
                main.ProcessEvents();
            if (p[0].revents)
                framing_->DrainAvailable();
        }
        worker_->Stop();
    }

    PosixConnection connection_;
    TransportData transport_;
    UserInfo user_;
    ClientSettings settings_;
    AtaGlobals globals_;
    SharedFlags flags_;
    std::unique_ptr<SimIdeHardware> hw_;
    std::string folder_;
    std::unique_ptr<helper::DiskHelperClient> helper_;
    std::unique_ptr<TControllerInfo> dev_;
    std::unique_ptr<Framing> framing_;
    std::unique_ptr<UserClientSocket> engine_;
    std::unique_ptr<ATAThread> worker_;
    std::atomic<bool> stop_{false};
    std::thread loop_;
};

void Report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["round_trips"] = static_cast<double>(us.size());
}

void RoundTrip(benchmark::State& state, int reads, bool throughHelper = false) {
    TcpListener listener;
    listener.Listen("127.0.0.1", 0);
    PosixConnection dial;
    dial.ConnectTcp("127.0.0.1", listener.Port());
    int server = listener.Accept(1000);
    Blocking(server);
    SetNoDelay(server);
    SetNoDelay(dial.Fd());
    const int clientFd = ::dup(dial.Fd());
    dial.Close();
    BenchClient client(clientFd, throughHelper);
    TransportData t;
    const auto request = Wire(BatchPacket(reads), t);
    std::vector<std::uint8_t> reply;
    std::vector<double> us;
    std::size_t replySize = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        WriteAll(server, request.data(), request.size());
        replySize = ReadPacket(server, reply);
        double d = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    // The last reply must be what the technician expects: one item per read, record and data.
    PacketRecord last;
    if (replySize >= kHeaderSize) {
        last.header = PacketHeader::Decode(reply.data());
        last.body.assign(reply.begin() + kHeaderSize, reply.end());
    }
    if (replySize < kHeaderSize || t.Decode(last) != DecodeResult::Ok ||
        PacketConverter(last).Count() != static_cast<std::size_t>(reads) ||
        PacketConverter(last).Item(0)->dataLength != 47 + 512)
        state.SkipWithError("the reply is not the batch's answer");
    Report(state, us);
    state.counters["request_bytes"] = static_cast<double>(request.size());
    state.counters["reply_bytes"] = static_cast<double>(replySize);
    ::close(server);
}

void BM_AtaRoundTrip_OneSectorRead(benchmark::State& state) {
    RoundTrip(state, 1);
}
BENCHMARK(BM_AtaRoundTrip_OneSectorRead)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

void BM_AtaRoundTrip_256SectorReads(benchmark::State& state) {
    RoundTrip(state, 256);
}
BENCHMARK(BM_AtaRoundTrip_256SectorReads)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// The same with the disk helper in the path: the engine runs in the helper process.
void BM_AtaRoundTripThroughHelper_OneSectorRead(benchmark::State& state) {
    RoundTrip(state, 1, true);
}
BENCHMARK(BM_AtaRoundTripThroughHelper_OneSectorRead)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

void BM_AtaRoundTripThroughHelper_256SectorReads(benchmark::State& state) {
    RoundTrip(state, 256, true);
}
BENCHMARK(BM_AtaRoundTripThroughHelper_256SectorReads)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

// A bare loopback echo: the same request and reply sizes, no client in between.
void BM_LoopbackEcho_SameSizes(benchmark::State& state) {
    TransportData t;
    const std::size_t requestSize = Wire(BatchPacket(1), t).size();
    // The reply of a one-sector read: record and 512 bytes in one item.
    PacketConverter list;
    ItemRecord it(COMMAND_OK);
    it.SetData(std::vector<std::uint8_t>(47 + 512, 0x5A));
    list.AddItem(std::move(it));
    PacketRecord rp;
    list.SerializeInto(rp);
    const std::size_t replySize = Wire(std::move(rp), t).size();

    TcpListener listener;
    listener.Listen("127.0.0.1", 0);
    PosixConnection dial;
    dial.ConnectTcp("127.0.0.1", listener.Port());
    int server = listener.Accept(1000);
    Blocking(server);
    Blocking(dial.Fd());
    SetNoDelay(server);
    SetNoDelay(dial.Fd());
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        std::vector<std::uint8_t> in(requestSize), out(replySize, 0xA5);
        while (!stop && ReadAll(dial.Fd(), in.data(), in.size()))
            WriteAll(dial.Fd(), out.data(), out.size());
    });
    std::vector<std::uint8_t> req(requestSize, 1), rep(replySize);
    std::vector<double> us;
    for (auto _ : state) {
        auto start = Clock::now();
        WriteAll(server, req.data(), req.size());
        ReadAll(server, rep.data(), rep.size());
        double d = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    stop = true;
    ::shutdown(server, SHUT_RDWR);
    dial.Close();
    echo.join();
    ::close(server);
    Report(state, us);
}
BENCHMARK(BM_LoopbackEcho_SameSizes)
    ->UseManualTime()
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// ATASocket on a simulated disk of 2^20 sectors, in this thread: no worker, no socket.
struct DirectBatchRig {
    static SimHardwareConfig Config() {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1 << 20;
        cfg.channels.push_back(ch);
        return cfg;
    }
    DirectBatchRig() { f.SetDeviceReady(); }
    SimIdeHardware hw{Config()};
    AtaGlobals g;
    SharedFlags f;
    THDCDevice dev{hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, g, f};
    DirectMainThread main;
    ATASocket socket{[this] { return &dev; }, main, g, f};
};

// The batch alone: ATASocket on the simulated disk, no thread, no socket.
void BM_BatchOnTheSimulatedDrive(benchmark::State& state) {
    DirectBatchRig rig;
    ATASocket& socket = rig.socket;
    PacketRecord batch = BatchPacket(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        socket.ProcessBatch(batch, {}, {});
        PacketRecord reply;
        socket.FinishReply(reply);
        benchmark::DoNotOptimize(reply.body.data());
    }
}
BENCHMARK(BM_BatchOnTheSimulatedDrive)->Arg(1)->Arg(256)->Unit(benchmark::kMicrosecond);

// Encoding (zlib level 9 + Blowfish) and decoding of the request and of the reply.
void BM_EncodeDecodeBothPackets(benchmark::State& state) {
    TransportData t;
    PacketConverter list;
    ItemRecord it(COMMAND_OK);
    std::vector<std::uint8_t> data(47 + 512);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    it.SetData(data);
    list.AddItem(std::move(it));
    PacketRecord replyPlain;
    list.SerializeInto(replyPlain);
    PacketRecord requestPlain = BatchPacket(1);
    for (auto _ : state) {
        for (const PacketRecord* p : {&requestPlain, &replyPlain}) {
            PacketRecord q = *p;
            t.Encode(q);
            t.Decode(q);
            benchmark::DoNotOptimize(q.body.data());
        }
    }
}
BENCHMARK(BM_EncodeDecodeBothPackets)->Unit(benchmark::kMicrosecond);

// The wire coding a 256-read batch costs in all: the request and the reply it gets on the
// simulated drive, each encoded (zlib level 9 + Blowfish) and decoded once. This part of the
// socket-to-socket time is fixed by the wire format, not by the client's hops.
void BM_EncodeDecodeBatch256Packets(benchmark::State& state) {
    DirectBatchRig rig;
    ATASocket& socket = rig.socket;
    const PacketRecord request = BatchPacket(256);
    socket.ProcessBatch(request, {}, {});
    PacketRecord reply;
    socket.FinishReply(reply);
    TransportData t;
    for (auto _ : state) {
        for (const PacketRecord* p : {&request, static_cast<const PacketRecord*>(&reply)}) {
            PacketRecord q = *p;
            t.Encode(q);
            t.Decode(q);
            benchmark::DoNotOptimize(q.body.data());
        }
    }
    state.counters["reply_plain_bytes"] = static_cast<double>(reply.body.size());
}
BENCHMARK(BM_EncodeDecodeBatch256Packets)->Unit(benchmark::kMicrosecond);

// The wire coding inside one 256-read round trip, as the client does it: the request decoded
// and the reply encoded (zlib level 9 + Blowfish). The per-item overhead of the batch is
// (socket to socket - BatchOnTheSimulatedDrive/256) / 256; this is the part of it that the
// wire format fixes.
void BM_ClientWireCodingOfBatch256(benchmark::State& state) {
    DirectBatchRig rig;
    ATASocket& socket = rig.socket;
    const PacketRecord request = BatchPacket(256);
    socket.ProcessBatch(request, {}, {});
    PacketRecord reply;
    socket.FinishReply(reply);
    TransportData t;
    PacketRecord encodedRequest = request;
    t.Encode(encodedRequest);
    for (auto _ : state) {
        PacketRecord in = encodedRequest;
        t.Decode(in);
        PacketRecord out = reply;
        t.Encode(out);
        CPack::PrepareNextCompress();
        benchmark::DoNotOptimize(in.body.data());
        benchmark::DoNotOptimize(out.body.data());
    }
}
BENCHMARK(BM_ClientWireCodingOfBatch256)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
