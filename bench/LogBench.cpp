// The technician's CMD_SHOW_LOG exchange through the real window, with an empty log and with a
// log that already holds 5,000 lines: this program plays the service on a loopback socket, the
// work form (offscreen, shown, on the simulated channel of --hardware sim) connects to it, and
// each iteration sends one command packet with one CMD_SHOW_LOG item and waits for the reply
// packet while running the window's event loop (socket events, the log's layout, painting).
// Appending a line must cost the same whatever the log holds: compare the two
// items_per_second figures (exchanges per CPU second of the window's thread, which runs the
// whole exchange; the thread sleeps while it waits). The wall time per exchange is the Time
// column; on a busy machine it mostly measures the other processes.
#include "app/TfrmWorkForm.h"
#include "app/model/SessionLog.h"
#include "platform/PosixConnection.h"
#include "protocol/TransportData.h"
#include "support/UserData.h"

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTextBrowser>
#include <QTimer>

#include "BenchSocket.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace zkv;

namespace {

using Clock = std::chrono::steady_clock;

using bench::ReadAll;
using bench::WriteAll;

// Runs the window's events until `fd` has bytes (or a connection waiting) or `limit` has
// passed. The thread sleeps in the event loop meanwhile, so its CPU time is the window's work.
bool PumpUntilReadable(int fd, std::chrono::milliseconds limit) {
    auto readable = [fd] {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    };
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (readable())
        return true;
    QEventLoop loop;
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
    return readable();
}

// Reads one packet; its header kind in `kind`. Bodies are bounded by what the client sends.
bool ReadPacket(int fd, int& kind) {
    std::uint8_t header[kHeaderSize];
    if (!ReadAll(fd, header, kHeaderSize))
        return false;
    const PacketHeader h = PacketHeader::Decode(header);
    if (h.wireLength < 0 || h.wireLength > (1 << 20))
        return false;
    std::vector<std::uint8_t> body(static_cast<std::size_t>(h.wireLength));
    kind = h.kind;
    return ReadAll(fd, body.data(), body.size());
}

std::vector<std::uint8_t> ShowLogRequest(std::int32_t exchange) {
    PacketConverter list;
    ItemRecord it(CMD_SHOW_LOG, kItemFlagWantsReply);
    const std::string text = "Reading sector 123456 of the drive (technician's note)";
    it.SetData(std::vector<std::uint8_t>(text.begin(), text.end() + 1));
    list.AddItem(std::move(it));
    PacketRecord p;
    list.SerializeInto(p);
    p.header.senderRole = static_cast<std::uint8_t>(Role::TECH);
    p.header.addresseeRole = static_cast<std::uint8_t>(Role::CLIENT);
    p.header.kind = COMMAND_PACKET;
    p.header.exchangeId = exchange;
    TransportData t;
    t.Encode(p);
    std::vector<std::uint8_t> out(kHeaderSize);
    p.header.Seal(out.data());
    out.insert(out.end(), p.body.begin(), p.body.end());
    return out;
}

// A data directory with user.dat pointing at `port` and a simulated disk on the primary
// channel; the version file is asked of a port nobody listens on.
struct Window {
    explicit Window(std::uint16_t port) {
        char tmpl[] = "/tmp/zkv-logbench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ProxySetting proxy;
        proxy.serverHost = "127.0.0.1";
        proxy.serverPort = port;
        UserInfo user;
        user.userName = "NoName";
        user.email = "user@example.org";
        user.password = "482916";
        user.orderNumber = 17;
        SaveUserData(dir / "user.dat", user, proxy);
        std::ofstream(dir / "hardware.json")
            << R"({"channels": [{"command_block": 496, "control_block": 1014,)"
               R"( "master": {"type": "disk", "model": "BENCH DISK"}}]})";
        log.Open(dir.string());
        WorkFormStartup s;
        s.dataDir.dir = dir;
        s.sessionLog = &log;
        s.hardware = "sim:" + (dir / "hardware.json").string();
        s.controller = "pci-0000:00:01.1\\1";
        s.unattended = true;
        s.updateUrl = "http://127.0.0.1:9/zelkova/autoupdate.txt";
        form = std::make_unique<TfrmWorkForm>(s);
        form->resize(800, 600);
        form->show();
    }
    ~Window() {
        form.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::filesystem::path dir;
    SessionLog log;
    std::unique_ptr<TfrmWorkForm> form;
};

void ShowLogExchanges(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    TcpListener listener;
    if (!listener.Listen("127.0.0.1", 0)) {
        state.SkipWithError("no loopback listener");
        return;
    }
    Window w(listener.Port());
    // The window detects the simulated drive, then connects and sends its login.
    if (!PumpUntilReadable(listener.Fd(), std::chrono::seconds(20))) {
        state.SkipWithError("the window did not connect");
        return;
    }
    const int fd = listener.Accept(1000);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int kind = 0;
    if (!PumpUntilReadable(fd, std::chrono::seconds(5)) || !ReadPacket(fd, kind)) {
        state.SkipWithError("no login from the window");
        return;
    }
    // A few exchanges first, so that both cases start with the window's caches warm.
    std::int32_t exchange = 1;
    for (int i = 0; i < 20; ++i) {
        const auto request = ShowLogRequest(exchange++);
        WriteAll(fd, request.data(), request.size());
        for (kind = COMMAND_PACKET; kind != REPLY_PACKET;)
            if (!PumpUntilReadable(fd, std::chrono::seconds(5)) || !ReadPacket(fd, kind)) {
                state.SkipWithError("no reply from the window");
                return;
            }
    }
    w.form->ClearLog();
    for (int i = 0; i < lines; ++i)
        w.form->AddLogTextBold("Line " + std::to_string(i) + " of what the technician did before.",
                               true);
    // Lays out and paints the filled log.
    QTimer::singleShot(100, [] {});
    PumpUntilReadable(fd, std::chrono::milliseconds(100));

    for (auto _ : state) {
        const auto request = ShowLogRequest(exchange++);
        if (!WriteAll(fd, request.data(), request.size())) {
            state.SkipWithError("the window closed the connection");
            break;
        }
        kind = COMMAND_PACKET;
        while (kind != REPLY_PACKET)
            if (!PumpUntilReadable(fd, std::chrono::seconds(5)) || !ReadPacket(fd, kind)) {
                state.SkipWithError("no reply from the window");
                break;
            }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["log_blocks"] = static_cast<double>(w.form->wbLog->document()->blockCount());
    ::close(fd);
}

void BM_ShowLogExchange(benchmark::State& state) {
    ShowLogExchanges(state);
}
BENCHMARK(BM_ShowLogExchange)
    ->ArgName("lines_before")
    ->Arg(0)
    ->Arg(5000)
    ->Iterations(500)
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
