#include "protocol/Framing.h"
#include "platform/PosixConnection.h"
#include "tests/support/Peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sys/socket.h>
#include <thread>

namespace zkv {
namespace {

using test::CommandPacket;
using test::KeepaliveHeader;
using test::Peer;
using test::Wire;

// A processor that answers every command like the defaults do and lets a test run code inside
// a handler.
class TestProcessor : public UniSocket {
public:
    std::function<void()> duringCommand;
    std::vector<std::uint32_t> echoes;
    void OnCmdNoOperation(const ItemRecord& c, ItemRecord& r, ItemRecord& f) override {
        echoes.push_back(c.echo);
        if (duringCommand)
            duringCommand();
        UniSocket::OnCmdNoOperation(c, r, f);
    }
};

class TestHost : public IFramingHost {
public:
    void RestartPingWatchdog() override { ++pingRestarts; }
    bool NoReconnectFlag() const override { return noReconnect; }
    void SetNoReconnectFlag(bool on) override { noReconnect = on; }
    bool DetailedLogging() const override { return detailed; }
    void LogText(std::string_view t) override { log.emplace_back(t); }
    std::int32_t OwnId() const override { return ownId; }
    std::int32_t PartnerId() const override { return partnerId; }
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& p) override {
        if (!ataWorker)
            return false;
        ata.push_back(std::move(p));
        return true;
    }
    UniSocket& Processor() override { return processor; }

    int pingRestarts = 0;
    bool noReconnect = false;
    bool detailed = false;
    std::int32_t ownId = 0;
    std::int32_t partnerId = 0;
    bool ataWorker = false;
    std::vector<std::unique_ptr<PacketRecord>> ata;
    std::vector<std::string> log;
    TestProcessor processor;
};

// Records every Send call and can refuse or shorten writes, over a real connection.
class ShapingConnection : public IConnection {
public:
    explicit ShapingConnection(IConnection& inner) : inner_(inner) {}
    bool Active() const override { return inner_.Active(); }
    std::size_t BytesWaiting() const override { return inner_.BytesWaiting(); }
    std::size_t Receive(std::uint8_t* d, std::size_t n) override { return inner_.Receive(d, n); }
    long Send(const std::uint8_t* s, std::size_t n) override {
        if (refuseEveryOther && (calls_++ % 2 == 0))
            return -1;
        std::size_t k = maxPerCall ? std::min(n, maxPerCall) : n;
        long w = inner_.Send(s, k);
        if (w > 0)
            sends.push_back(static_cast<std::size_t>(w));
        return w;
    }
    std::vector<std::size_t> sends;
    std::size_t maxPerCall = 0;
    bool refuseEveryOther = false;

private:
    IConnection& inner_;
    unsigned calls_ = 0;
};

class FramingTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client.Adopt(fds[0]);
        peer = std::make_unique<Peer>(fds[1]);
        framing.ResetReceiveState();
    }
    // A command the test processor answers, identified by its echo.
    std::vector<std::uint8_t> Probe(std::uint32_t echo) {
        return Wire(CommandPacket(CMD_NO_OPERATION, kItemFlagWantsReply, echo), transport);
    }
    // Expects exactly the replies with these echoes, in order.
    void ExpectReplies(std::initializer_list<std::uint32_t> echoes) {
        auto events = peer->Read(transport, echoes.size());
        ASSERT_EQ(events.size(), echoes.size());
        auto it = echoes.begin();
        for (auto& ev : events) {
            ASSERT_EQ(ev.type, WireEvent::Type::Packet);
            EXPECT_EQ(+ev.packet.header.kind, REPLY_PACKET);
            PacketConverter items(ev.packet);
            ASSERT_EQ(items.Count(), 1u);
            EXPECT_EQ(items.Item(0)->code, COMMAND_OK);
            EXPECT_EQ(items.Item(0)->echo, *it++);
        }
    }
    void WaitForBytes(std::size_t n) {
        for (int i = 0; i < 500 && client.BytesWaiting() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_GE(client.BytesWaiting(), n);
    }

    TransportData transport;
    PosixConnection client;
    TestHost host;
    Framing framing{client, host, transport};
    std::unique_ptr<Peer> peer;
};

TEST_F(FramingTest, HeaderInTwoSegmentsIsReadOnceWholeAndItsBodyOnlyInTheNextCall) {
    auto bytes = Probe(7);
    peer->Write(bytes.data(), 20);
    WaitForBytes(20);
    EXPECT_FALSE(framing.OnDataAvailable());
    EXPECT_EQ(client.BytesWaiting(), 20u); // nothing consumed
    peer->Write(bytes.data() + 20, bytes.size() - 20);
    WaitForBytes(bytes.size());
    EXPECT_TRUE(framing.OnDataAvailable());
    EXPECT_TRUE(framing.InBodyMode());
    EXPECT_EQ(framing.Stats().bytesConsumed, kHeaderSize); // the body waits for the next call
    EXPECT_TRUE(framing.OnDataAvailable());
    EXPECT_FALSE(framing.InBodyMode());
    ExpectReplies({7});
}

TEST_F(FramingTest, BodyArrivingInManySmallSegmentsMakesOnePacket) {
    std::vector<std::uint8_t> data(3000);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    auto bytes = Wire(CommandPacket(CMD_NO_OPERATION, kItemFlagWantsReply, 9, data), transport);
    ASSERT_GT(bytes.size(), 3000u);
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t n = std::min<std::size_t>(7, bytes.size() - at);
        peer->Write(bytes.data() + at, n);
        at += n;
        WaitForBytes(1);
        framing.DrainAvailable();
    }
    EXPECT_EQ(framing.Stats().packets, 1u);
    EXPECT_EQ(host.processor.echoes, std::vector<std::uint32_t>{9});
    ExpectReplies({9});
}

TEST_F(FramingTest, DamagedHeaderIsSkippedAsAKeepaliveAndTheNextPacketIsRead) {
    auto bad = Probe(1);
    bad[12] ^= 0x10; // one flipped bit inside the header
    std::vector<std::uint8_t> stream(bad.begin(), bad.begin() + kHeaderSize);
    auto good = Probe(2);
    stream.insert(stream.end(), good.begin(), good.end());
    peer->Write(stream);
    WaitForBytes(stream.size());
    framing.DrainAvailable();
    EXPECT_EQ(framing.Stats().badHeaders, 1u);
    EXPECT_EQ(host.pingRestarts, 1);
    EXPECT_TRUE(client.Active());
    ExpectReplies({2});
}

TEST_F(FramingTest, KeepaliveRestartsThePingWatchdogAndAPacketRightBehindIsRead) {
    auto stream = KeepaliveHeader();
    auto good = Probe(3);
    stream.insert(stream.end(), good.begin(), good.end());
    peer->Write(stream);
    WaitForBytes(stream.size());
    framing.DrainAvailable();
    EXPECT_EQ(framing.Stats().keepalives, 1u);
    EXPECT_EQ(host.pingRestarts, 1);
    ExpectReplies({3});
}

TEST_F(FramingTest, UndecodableBodyIsDroppedWithALogLineAndTheConnectionKept) {
    PacketHeader h{};
    h.wireLength = 64;
    h.plainLength = 100;
    std::vector<std::uint8_t> stream(kHeaderSize);
    h.Seal(stream.data());
    stream.resize(kHeaderSize + 64, 0xA5);
    // A real packet, but under a key the client does not hold.
    TransportData other;
    Key k{};
    k.fill(0x42);
    other.UseKey(k);
    auto wrongKey = Wire(CommandPacket(CMD_NO_OPERATION, kItemFlagWantsReply, 4), other);
    stream.insert(stream.end(), wrongKey.begin(), wrongKey.end());
    auto good = Probe(5);
    stream.insert(stream.end(), good.begin(), good.end());
    peer->Write(stream);
    WaitForBytes(stream.size());
    framing.DrainAvailable();
    EXPECT_EQ(framing.Stats().badBodies, 2u);
    EXPECT_EQ(host.processor.echoes, std::vector<std::uint32_t>{5});
    ASSERT_GE(host.log.size(), 2u);
    EXPECT_NE(host.log[0].find("could not be decoded"), std::string::npos);
    EXPECT_TRUE(client.Active());
    ExpectReplies({5});
}

TEST_F(FramingTest, HeaderAnnouncingAGiganticBodyIsNotTrusted) {
    PacketHeader h{};
    h.wireLength = kMaxBodyLength + 8;
    h.plainLength = 100;
    std::vector<std::uint8_t> stream(kHeaderSize);
    h.Seal(stream.data());
    auto good = Probe(6);
    stream.insert(stream.end(), good.begin(), good.end());
    peer->Write(stream);
    WaitForBytes(stream.size());
    framing.DrainAvailable();
    EXPECT_EQ(framing.Stats().badHeaders, 1u);
    EXPECT_FALSE(framing.InBodyMode());
    ExpectReplies({6});
}

TEST_F(FramingTest, ABodyPastThePacketBoundIsReadThroughAndTheStreamStaysInStep) {
    // Two intact headers that announce too much: a plain body past 40 MiB and a wire body past
    // the encoded bound. Their bodies follow in full; the probes behind them must be found.
    auto tooPlain = Wire(CommandPacket(CMD_NO_OPERATION, kItemFlagWantsReply, 1), transport);
    PacketHeader h = PacketHeader::Decode(tooPlain.data());
    h.plainLength = kMaxPlainLength + 1;
    h.Seal(tooPlain.data());
    PacketHeader w{};
    w.wireLength = kMaxWireLength + 8;
    w.plainLength = 100;
    std::vector<std::uint8_t> tooWire(kHeaderSize);
    w.Seal(tooWire.data());
    tooWire.resize(kHeaderSize + static_cast<std::size_t>(w.wireLength), 0x5A);

    std::vector<std::uint8_t> stream = tooPlain;
    auto p2 = Probe(2);
    stream.insert(stream.end(), p2.begin(), p2.end());
    stream.insert(stream.end(), tooWire.begin(), tooWire.end());
    auto p3 = Probe(3);
    stream.insert(stream.end(), p3.begin(), p3.end());
    // Written from a thread while the framing reads: the stream is larger than the socket holds.
    std::thread writer([&] { peer->Write(stream); });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (framing.Stats().bytesConsumed < stream.size() &&
           std::chrono::steady_clock::now() < end) {
        if (client.WaitReadable(100))
            framing.DrainAvailable();
    }
    writer.join();
    EXPECT_EQ(framing.Stats().oversized, 2u);
    EXPECT_EQ(framing.Stats().badHeaders, 0u);
    EXPECT_EQ(framing.Stats().packets, 2u);
    EXPECT_FALSE(framing.InBodyMode());
    ASSERT_FALSE(host.log.empty());
    EXPECT_NE(host.log[0].find("is skipped"), std::string::npos);
    EXPECT_TRUE(client.Active());
    ExpectReplies({2, 3});
}

TEST_F(FramingTest, ANewConnectionStartsInHeaderModeEvenAfterOneLostMidBody) {
    auto bytes = Probe(1);
    peer->Write(bytes.data(), kHeaderSize + 3);
    WaitForBytes(kHeaderSize + 3);
    framing.DrainAvailable();
    ASSERT_TRUE(framing.InBodyMode());
    // The connection drops; a new one opens.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client.Adopt(fds[0]);
    peer = std::make_unique<Peer>(fds[1]);
    framing.ResetReceiveState();
    EXPECT_FALSE(framing.InBodyMode());
    auto next = Probe(2);
    peer->Write(next);
    WaitForBytes(next.size());
    framing.DrainAvailable();
    ExpectReplies({2});
}

TEST_F(FramingTest, NoReconnectIsForcedWhileProcessingAndARequestMadeThenSticks) {
    bool seenInside = false;
    host.processor.duringCommand = [&] { seenInside = host.noReconnect; };
    peer->Write(Probe(1));
    WaitForBytes(1);
    framing.DrainAvailable();
    EXPECT_TRUE(seenInside);
    EXPECT_FALSE(host.noReconnect); // restored

    // A handler that asks for no reconnect (and closes) is heard after the step too, even if
    // the close is noticed only later.
    host.processor.duringCommand = [&] { framing.SetNoReconnect(true); };
    peer->Write(Probe(2));
    WaitForBytes(1);
    framing.DrainAvailable();
    EXPECT_TRUE(host.noReconnect);
    framing.SetNoReconnect(false); // outside a step it goes straight to the host
    EXPECT_FALSE(host.noReconnect);
}

TEST_F(FramingTest, HandlerPumpingEventsHoldsUpFurtherPacketsUntilItReturns) {
    auto stream = Probe(1);
    auto second = Probe(2);
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<std::uint32_t> seenByNested;
    host.processor.duringCommand = [&] {
        // A modal screen pumping socket events re-enters the framing.
        if (host.processor.echoes.size() == 1) {
            EXPECT_FALSE(framing.OnDataAvailable());
            seenByNested = host.processor.echoes;
        }
    };
    peer->Write(stream);
    WaitForBytes(stream.size());
    framing.DrainAvailable();
    EXPECT_EQ(seenByNested, std::vector<std::uint32_t>{1});
    EXPECT_EQ(host.processor.echoes, (std::vector<std::uint32_t>{1, 2}));
    ExpectReplies({1, 2});
}

TEST_F(FramingTest, AtaPacketGoesToTheWorkerOrIsDroppedWithALogLineWhenThereIsNone) {
    auto p = CommandPacket(CMD_ATA_COMMAND, kItemFlagWantsReply, 1);
    p.header.flags = kPacketFlagAta;
    auto bytes = Wire(std::move(p), transport);
    peer->Write(bytes);
    WaitForBytes(bytes.size());
    framing.DrainAvailable();
    EXPECT_EQ(framing.Stats().ataDropped, 1u);
    EXPECT_NE(host.log.back().find("ATA"), std::string::npos);
    EXPECT_TRUE(host.processor.echoes.empty());

    host.ataWorker = true;
    peer->Write(bytes);
    WaitForBytes(bytes.size());
    framing.DrainAvailable();
    ASSERT_EQ(host.ata.size(), 1u);
    EXPECT_EQ(PacketConverter(*host.ata[0]).Item(0)->code, CMD_ATA_COMMAND);
    EXPECT_TRUE(peer->Read(transport, 1, std::chrono::milliseconds(50)).empty()); // no reply here
}

TEST_F(FramingTest, DetailedLoggingNamesPacketsButNotChat) {
    host.detailed = true;
    auto chat = Wire(CommandPacket(CMD_NO_OPERATION, 0, 1, {}, CHAT_PACKET), transport);
    peer->Write(chat);
    WaitForBytes(chat.size());
    framing.DrainAvailable();
    EXPECT_TRUE(host.log.empty());
    peer->Write(Probe(2));
    WaitForBytes(1);
    framing.DrainAvailable();
    ASSERT_EQ(host.log.size(), 2u);
    EXPECT_NE(host.log[0].find(" Getting command packet."), std::string::npos);
    EXPECT_NE(host.log[1].find(" Sending reply packet."), std::string::npos);
}

// Finds a body whose encoded form is exactly `wire` bytes.
PacketRecord PacketWithWireLength(std::size_t wire, const TransportData& t) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> noise(wire + 64);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    for (std::size_t n = wire - 80; n < wire; ++n) {
        auto p = CommandPacket(CMD_NO_OPERATION, 0, 0, {noise.begin(), noise.begin() + n});
        PacketRecord copy = p;
        t.Encode(copy);
        if (copy.header.wireLength == static_cast<std::int32_t>(wire))
            return p;
    }
    ADD_FAILURE() << "no body encodes to " << wire << " bytes";
    return {};
}

TEST_F(FramingTest, BodyOf8200BytesIsWrittenAs4096Plus4096Plus8) {
    ShapingConnection shaped(client);
    Framing out(shaped, host, transport);
    host.ownId = 1234;
    PacketRecord p = PacketWithWireLength(8200, transport);
    const auto plain = p.body;
    ASSERT_TRUE(out.SendPacket(p));
    EXPECT_EQ(shaped.sends, (std::vector<std::size_t>{53, 4096, 4096, 8}));
    auto events = peer->Read(transport, 1);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].type, WireEvent::Type::Packet);
    EXPECT_EQ(events[0].packet.body, plain);
    EXPECT_EQ(+events[0].packet.header.senderId, 1234);
    EXPECT_EQ(+events[0].packet.header.partnerId, 0);
}

TEST_F(FramingTest, PartialAndRefusedWritesAreCompletedWithoutCrossingChunks) {
    ShapingConnection shaped(client);
    shaped.maxPerCall = 1000;
    shaped.refuseEveryOther = true;
    Framing out(shaped, host, transport);
    host.partnerId = 55;
    PacketRecord p = PacketWithWireLength(8200, transport);
    const auto plain = p.body;
    ASSERT_TRUE(out.SendPacket(p));
    // Header 53; then per 4096 chunk: 1000 x4 + 96; the last chunk 8.
    EXPECT_EQ(shaped.sends, (std::vector<std::size_t>{53, 1000, 1000, 1000, 1000, 96, 1000, 1000,
                                                      1000, 1000, 96, 8}));
    auto events = peer->Read(transport, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].packet.body, plain);
    EXPECT_EQ(+events[0].packet.header.partnerId, 55);
}

TEST_F(FramingTest, SendOnAClosedConnectionDropsThePacketAndSaysSo) {
    client.Close();
    auto p = CommandPacket(CMD_NO_OPERATION, 0, 0);
    EXPECT_FALSE(framing.SendPacket(p));
}

TEST_F(FramingTest, ASmallPacketLeavesInOnePieceOnlyOnceItsBodyIsWritten) {
    // The header said more follows: nothing has left yet.
    std::uint8_t header[kHeaderSize];
    std::fill(std::begin(header), std::end(header), 0x11);
    ASSERT_EQ(client.SendMore(header, sizeof header), static_cast<long>(sizeof header));
    std::uint8_t got[256];
    EXPECT_EQ(::recv(peer->Fd(), got, sizeof got, MSG_DONTWAIT), -1);
    // The body takes it along: one receive finds both.
    std::uint8_t body[40];
    std::fill(std::begin(body), std::end(body), 0x22);
    ASSERT_EQ(client.Send(body, sizeof body), static_cast<long>(sizeof body));
    ASSERT_EQ(::recv(peer->Fd(), got, sizeof got, 0), static_cast<ssize_t>(93));
    EXPECT_EQ(got[0], 0x11);
    EXPECT_EQ(got[52], 0x11);
    EXPECT_EQ(got[53], 0x22);
    // And a whole packet through the framing reads back as one.
    auto p = CommandPacket(CMD_NO_OPERATION, 0, 7);
    ASSERT_TRUE(framing.SendPacket(p));
    auto events = peer->Read(transport, 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, WireEvent::Type::Packet);
}

TEST_F(FramingTest, TheReceiveBufferAsksTheKernelAgainWhenWhatItOfferedWasNotEnough) {
    const auto probe = Probe(5);
    peer->Write(probe.data(), 20);
    WaitForBytes(20);
    // Offered and not taken: nothing new to wait for until more arrives.
    EXPECT_FALSE(client.WaitReadable(0));
    EXPECT_FALSE(framing.OnDataAvailable());
    peer->Write(probe.data() + 20, probe.size() - 20);
    EXPECT_TRUE(client.WaitReadable(1000));
    framing.DrainAvailable();
    ExpectReplies({5});
    // Two packets in one arrival are both read, and then nothing is waiting.
    auto two = Probe(6);
    const auto second = Probe(7);
    two.insert(two.end(), second.begin(), second.end());
    peer->Write(two);
    WaitForBytes(two.size());
    framing.DrainAvailable();
    ExpectReplies({6, 7});
    EXPECT_EQ(client.BytesWaiting(), 0u);
}

TEST_F(FramingTest, SendersOnSeveralThreadsNeverInterleaveOnTheWire) {
    constexpr int kThreads = 4, kPerThread = 25;
    std::vector<std::thread> threads;
    std::vector<WireEvent> events;
    std::thread reader([&] { events = peer->Read(transport, kThreads * kPerThread); });
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::vector<std::uint8_t> data(5000 + 97 * i, static_cast<std::uint8_t>(t));
                auto p = CommandPacket(CMD_NO_OPERATION, 0, static_cast<std::uint32_t>(t), data);
                framing.SendPacket(p);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    reader.join();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (auto& ev : events) {
        ASSERT_EQ(ev.type, WireEvent::Type::Packet);
        PacketConverter items(ev.packet);
        ASSERT_EQ(items.Count(), 1u);
        for (std::uint8_t b : items.Item(0)->Data())
            ASSERT_EQ(b, items.Item(0)->echo);
    }
}

} // namespace
} // namespace zkv
