// A technician floods the client with large ATA packets over a real socket while a slow
// command runs: the worker holds at most its byte bound, a packet past the packet bound is
// skipped in step, the client's memory stays within the documented bound, and the connection
// answers afterwards. The flood is made and written by a child process, so that only the
// client's memory is measured here.
#include "protocol/Blowfish.h"
#include "protocol/Pack.h"
#include "protocol/Vocabulary.h"
#include "tests/support/AtaClientHarness.h"
#include "tests/support/Peer.h"
#include "tests/unit/ata/SimFixture.h"

#include <gtest/gtest.h>

#include <thread>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zkv {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kTech = 4242;
// What docs/technician.md promises the client holds for the network at most (see "Bounds").
constexpr long kDocumentedBoundMiB = 256;

using FloodClient = test::AtaClientHarness;

PacketRecord AtaBatch(std::uint32_t exchange, std::int32_t code, std::vector<std::uint8_t> data) {
    PacketRecord p = test::CommandPacket(code, kItemFlagWantsReply, exchange, std::move(data));
    p.header.flags = kPacketFlagAta;
    p.header.exchangeId = exchange;
    p.header.senderId = kTech;
    return p;
}

// A packet whose plain body is past the bound, encoded by hand (the encoder refuses it).
std::vector<std::uint8_t> OversizedWire(std::size_t plain) {
    std::vector<std::uint8_t> body(plain, 0);
    std::vector<std::uint8_t> z;
    CPack::Compress(body, z);
    z.resize((z.size() + 7) / 8 * 8, 0);
    CBlowfish cipher;
    cipher.SetKey(kBuiltinKey.data(), kBuiltinKey.size());
    cipher.EncryptEcb(z.data(), z.size());
    PacketHeader h{};
    h.wireLength = static_cast<std::int32_t>(z.size());
    h.plainLength = static_cast<std::int32_t>(plain);
    h.flags = kPacketFlagAta;
    h.senderId = kTech;
    std::vector<std::uint8_t> out(kHeaderSize);
    h.Seal(out.data());
    out.insert(out.end(), z.begin(), z.end());
    return out;
}

bool Replied(const std::vector<WireEvent>& events, std::uint32_t exchange) {
    for (const auto& ev : events)
        if (ev.type == WireEvent::Type::Packet && ev.packet.header.exchangeId == exchange &&
            ev.packet.header.kind == REPLY_PACKET)
            return true;
    return false;
}

// The technician's side, in the child: a slow batch, forty 8 MiB batches, one packet of 48 MiB
// of compressed zeros, a probe; once the slow batch and the probe are answered, one more batch
// that must run. Exit status 0 when every answer came.
[[noreturn]] void Technician(int fd) {
    TransportData t;
    test::Peer peer(fd);
    AtaCommandRecord slow = test::Lab::Rw(0x20, 900, 1, RESETENABLE | READREGS, 60000);
    slow.Protocol = PR_PIO_READ;
    slow.DataLen = 512;
    std::vector<std::uint8_t> rec(AtaCommandRecord::kSize);
    slow.EncodeTo(rec.data());
    peer.Write(test::Wire(AtaBatch(1, CMD_ATA_COMMAND, rec), t));
    const auto big =
        test::Wire(AtaBatch(0, CMD_ATA_GET_STATUS, std::vector<std::uint8_t>(8 << 20)), t);
    for (std::uint32_t i = 0; i < 40; ++i) {
        std::vector<std::uint8_t> w = big;
        PacketHeader h = PacketHeader::Decode(w.data());
        h.exchangeId = 100 + i;
        h.Seal(w.data());
        peer.Write(w);
    }
    peer.Write(OversizedWire(48u << 20));
    PacketRecord probe = test::CommandPacket(CMD_NO_OPERATION, kItemFlagWantsReply, 7);
    probe.header.exchangeId = 7;
    peer.Write(test::Wire(probe, t));

    std::vector<WireEvent> seen;
    const auto until = std::chrono::steady_clock::now() + 50s;
    auto waitFor = [&](std::uint32_t exchange) {
        while (!Replied(seen, exchange)) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            for (auto& ev : peer.Read(t, 1, 200ms))
                seen.push_back(std::move(ev));
        }
        return true;
    };
    if (!waitFor(7) || !waitFor(1))
        ::_exit(2);
    peer.Write(test::Wire(AtaBatch(99, CMD_ATA_GET_STATUS, {}), t));
    ::_exit(waitFor(99) ? 0 : 3);
}

long PeakRssKiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

TEST(AtaFlood, LargePacketsStayWithinTheBoundsAndTheConnectionKeepsWorking) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        Technician(fds[1]);
    }
    ::close(fds[1]);

    test::TempDir dir;
    SimDeviceConfig disk = test::Disk();
    disk.slow.push_back({900, 1, 20000});
    test::Lab lab(disk);
    lab.flags.SetDeviceReady();
    FloodClient client(dir.Path(), lab.dev.get(), lab.globals, lab.flags);
    client.Adopt(fds[0]);
    const long before = PeakRssKiB();

    std::size_t mostHeld = 0;
    int status = -1;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end && client.connection.Active()) {
        client.main.ProcessEvents();
        client.PumpFor(2ms);
        mostHeld = std::max(mostHeld, client.worker.HeldBytes());
        if (::waitpid(child, &status, WNOHANG) == child)
            break;
    }
    // The technician's side closing its end is how it finishes: the close can be seen a moment
    // before its exit can be collected.
    for (int i = 0; status == -1 && i < 200; ++i) {
        if (::waitpid(child, &status, WNOHANG) != child)
            std::this_thread::sleep_for(10ms);
    }
    if (status == -1) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the technician's side did not finish";
    }
    const long grownMiB = (PeakRssKiB() - before) / 1024;
    std::printf("peak RSS grew by %ld MiB; the worker held at most %zu bytes; %zu batches "
                "refused\n",
                grownMiB, mostHeld, client.CountLogged("answered with errors"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: slow batch or probe unanswered, 3: last batch";
    EXPECT_LE(mostHeld, kMaxAtaQueueBytes);
    EXPECT_LE(grownMiB, kDocumentedBoundMiB);
    // Eight 8 MiB batches fit beside the slow one; the others were refused and answered.
    EXPECT_GE(client.CountLogged("answered with errors"), 1u);
    EXPECT_EQ(client.framing->Stats().oversized, 1u);
    EXPECT_TRUE(client.Logged("is skipped"));
}

} // namespace
} // namespace zkv
