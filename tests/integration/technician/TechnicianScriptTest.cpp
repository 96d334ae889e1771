// The stand-in plays a technician script that waits for replies, sends an ATA batch given as
// records by field name and switches the key, against a client end driven by the test.
#include "ata/AtaCommandRecord.h"
#include "protocol/PacketJson.h"
#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"
#include "support/ClientLog.h"
#include "tests/support/ClientHarness.h"
#include "tests/support/Peer.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <deque>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace zkv {
namespace {

using namespace std::chrono_literals;

int ConnectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

// The next packet from the peer, decoded with `t`; fails the test when none arrives in time.
// Packets that arrived together wait in `pending` (decoded with the same key).
std::deque<WireEvent> pending;
PacketRecord Next(test::Peer& peer, const TransportData& t, std::chrono::milliseconds wait = 5s) {
    if (pending.empty())
        for (auto& ev : peer.Read(t, 1, wait))
            pending.push_back(std::move(ev));
    EXPECT_FALSE(pending.empty());
    if (pending.empty())
        return {};
    WireEvent ev = std::move(pending.front());
    pending.pop_front();
    EXPECT_EQ(ev.type, WireEvent::Type::Packet) << ev.error;
    return ev.packet;
}

std::string TextHex(std::string_view s) {
    return ToHex({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
}

std::vector<ItemRecord> Items(const PacketRecord& p) {
    std::vector<ItemRecord> out;
    PacketConverter c(p);
    while (const ItemRecord* it = c.NextItem()) {
        ItemRecord copy(it->code, it->flags);
        copy.echo = it->echo;
        copy.SetData({it->Data().begin(), it->Data().end()});
        out.push_back(std::move(copy));
    }
    return out;
}

PacketRecord Reply(const PacketRecord& to, std::vector<std::vector<std::uint8_t>> payloads) {
    PacketConverter list;
    for (auto& d : payloads) {
        ItemRecord r(COMMAND_OK, 0);
        r.SetData(std::move(d));
        list.AddItem(std::move(r));
    }
    PacketRecord p;
    list.SerializeInto(p);
    p.header.kind = REPLY_PACKET;
    p.header.senderRole = static_cast<std::uint8_t>(Role::CLIENT);
    p.header.addresseeRole = static_cast<std::uint8_t>(Role::TECH);
    p.header.exchangeId = to.header.exchangeId;
    return p;
}

TEST(TechnicianScript, WaitsForRepliesEncodesAtaRecordsAndSwitchesTheKeyInTheClientsOrder) {
    test::TempDir dir;
    Key newKey;
    for (std::size_t i = 0; i < newKey.size(); ++i)
        newKey[i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::string keyHex = ToHex(newKey);
    std::ofstream(dir.Path() / "script.jsonl")
        << R"({"header":{"sender_role":3,"addressee_role":2},"items":[)"
           R"({"flags":1,"echo":1,"ata":{"command":236,"protocol":"PR_PIO_READ","count":1}},)"
           R"({"flags":1,"echo":2,"ata":{"command":36,"protocol":"PR_PIO_READ","lba":78187493530,)"
           R"("count":2,"repeat":3,"flags":["EXTADDR","WRITELOG"]}},)"
           R"({"flags":1,"echo":3,"ata":{"command":48,"protocol":2,"lba":5,"count":1,"data":"a55a"}},)"
           R"({"flags":1,"echo":4,"wizard":{"message":"Go on?","dlgType":2,"buttons":12}}]})"
        << "\n"
        << R"({"wait_reply_ms": 5000})"
        << "\n"
        << R"({"header":{"sender_role":3,"addressee_role":2},"items":[{"code":48,"flags":1,)"
        << R"("data":")" << keyHex << R"("}]})"
        << "\n"
        << R"({"wait_reply_ms": 5000})"
        << "\n"
        << R"({"header":{"sender_role":3,"addressee_role":2},"items":[{"code":)" << CMD_SHOW_LOG
        << R"(,"flags":1,"echo":7,"data":"6f6b00"}]})"
        << "\n"
        << R"({"wait_reply_ms": 150})"
        << "\n"
        << R"({"header":{"sender_role":3,"addressee_role":2},"items":[{"code":0,"echo":9}]})"
        << "\n";
    test::ChildProcess sim;
    const auto out = dir.Path() / "sim.out";
    ASSERT_TRUE(sim.Start(ZKV_SERVICE_SIM,
                          {"--port", "0", "--port-file", (dir.Path() / "port").string(), "--script",
                           (dir.Path() / "script.jsonl").string()},
                          out, dir.Path() / "sim.err"));
    const std::string port = test::WaitForLine(dir.Path() / "port", 5s);
    ASSERT_FALSE(port.empty());
    test::Peer client(ConnectTo(static_cast<std::uint16_t>(std::stoi(port))));
    ASSERT_GE(client.Fd(), 0);

    // Login under the built-in key; the reply carries the connection's key.
    TransportData t;
    client.Write(test::Wire(
        test::CommandPacket(CMD_LET_ME_CONNECT, 1, 0, std::vector<std::uint8_t>(128)), t));
    auto login = Items(Next(client, t));
    ASSERT_EQ(login.size(), 1u);
    Key session;
    std::copy_n(login[0].Data().begin() + (128 - 97) + 24, kKeyLength, session.begin());
    t.UseKey(session);
    client.Write(test::Wire(test::CommandPacket(CMD_CREATE_SEANS, 1, 0, {0xE9, 3, 0, 0}), t));
    ASSERT_EQ(Items(Next(client, t))[0].code, COMMAND_OK);

    // The ATA batch: flagged, with a fresh exchange identifier and the records as described.
    PacketRecord batch = Next(client, t);
    EXPECT_EQ(batch.header.flags, kPacketFlagAta);
    EXPECT_NE(batch.header.exchangeId, 0u);
    auto items = Items(batch);
    ASSERT_EQ(items.size(), 4u);
    AtaCommandRecord identify, readExt, write;
    ASSERT_TRUE(identify.Decode(items[0].Data()));
    ASSERT_TRUE(readExt.Decode(items[1].Data()));
    ASSERT_TRUE(write.Decode(items[2].Data()));
    EXPECT_EQ(items[0].code, CMD_ATA_COMMAND);
    EXPECT_EQ(identify.CR, 0xEC);
    EXPECT_EQ(identify.Protocol, PR_PIO_READ);
    EXPECT_EQ(identify.DataLen, 512);
    EXPECT_EQ(identify.DH, 0xA0);
    // lba 0x123456789A, 48-bit: low bytes in SN CL CH, high bytes in SN1 CL1 CH1
    EXPECT_EQ((std::array<int, 8>{readExt.SN, readExt.CL, readExt.CH, readExt.SN1, readExt.CL1,
                                  readExt.CH1, readExt.SC, readExt.DH}),
              (std::array<int, 8>{0x9A, 0x78, 0x56, 0x34, 0x12, 0, 2, 0xE0}));
    EXPECT_EQ(readExt.Flags, EXTADDR | WRITELOG);
    EXPECT_EQ(readExt.RepeatCnt, 3u);
    EXPECT_EQ(readExt.DataLen, 1024);
    EXPECT_EQ(write.DH, 0xE0);
    EXPECT_EQ(write.DataLen, 2);
    EXPECT_EQ(items[2].Data().size(), AtaCommandRecord::kSize + 2);
    EXPECT_EQ(items[2].Data()[47], 0xA5);
    EXPECT_EQ(items[3].code, CMD_SHOW_WIZARD_FORM);
    EXPECT_EQ(ToHex(items[3].Data()), "01000000"
                                      "0c000000" +
                                          TextHex("TWizFormData") + "06000000" + TextHex("Go on?") +
                                          "02000000"
                                          "0c000000"
                                          "00000000"
                                          "00"
                                          "00000000");

    // Nothing follows until the batch is answered.
    EXPECT_TRUE(client.Read(t, 1, 300ms).empty());
    identify.Result = ATA_OK;
    auto r0 = identify.Encode();
    std::vector<std::uint8_t> p0(r0.begin(), r0.end());
    p0.resize(47 + 512, 0x11);
    readExt.Result = ATA_ERROR;
    auto r1 = readExt.Encode();
    std::vector<std::uint8_t> p1(r1.begin(), r1.end());
    p1.resize(47 + 1024, 0x22);
    ByteWriter w1(p1);
    w1.U32(3);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        std::vector<std::uint8_t> trace(64);
        CClientLog log;
        log.Attach(trace.data(), 64);
        log.AddText("attempt " + std::to_string(attempt));
        log.AddValue8("SR", 0x51);
        log.AddValue8("SR", 0x51);
        trace.resize(log.BytesUsed());
        w1.U32(static_cast<std::uint32_t>(trace.size()));
        w1.Bytes(trace);
    }
    write.DataLen = 0;
    auto r2 = write.Encode();
    client.Write(test::Wire(Reply(batch, {p0, p1, {r2.begin(), r2.end()}, {2, 0, 0, 0}}), t));

    // The key packet comes under the old key; the client answers it under the new one, and
    // from then on both directions use the new key.
    PacketRecord keyPacket = Next(client, t);
    auto keyItems = Items(keyPacket);
    ASSERT_EQ(keyItems.size(), 1u);
    EXPECT_EQ(keyItems[0].code, CMD_SET_KEY);
    t.UseKey(newKey);
    client.Write(test::Wire(Reply(keyPacket, {{}}), t));
    auto show = Items(Next(client, t));
    ASSERT_EQ(show.size(), 1u);
    EXPECT_EQ(show[0].echo, 7u);
    // That one is not answered: the wait runs out and the script goes on.
    auto last = Items(Next(client, t));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].echo, 9u);

    // What the stand-in printed: the batch reply decoded, the key reply decoded under the new
    // key, the time-out.
    std::vector<Json> printed;
    for (int i = 0; i < 50 && printed.empty(); ++i) {
        for (const auto& l : test::ReadLines(out)) {
            Json j = Json::parse(l, nullptr, false);
            if (j.value("event", "") == "wait_timeout")
                printed.push_back(j);
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0]["waited_ms"], 150);
    std::vector<Json> replies;
    for (const auto& l : test::ReadLines(out)) {
        Json j = Json::parse(l, nullptr, false);
        if (j.contains("header") && j["header"]["kind"] == REPLY_PACKET)
            replies.push_back(j);
    }
    ASSERT_EQ(replies.size(), 2u);
    const Json& ata = replies[0]["items"];
    ASSERT_EQ(ata.size(), 4u);
    EXPECT_EQ(ata[0]["ata"]["record"]["CR"], 0xEC);
    EXPECT_EQ(ata[0]["ata"]["data"], std::string(1024, '1'));
    EXPECT_EQ(ata[1]["ata"]["record"]["result"], ATA_ERROR);
    EXPECT_EQ(ata[1]["ata"]["record"]["flag_names"], Json::parse(R"(["EXTADDR","WRITELOG"])"));
    ASSERT_EQ(ata[1]["ata"]["trace"].size(), 3u);
    EXPECT_EQ(ata[1]["ata"]["trace"][2],
              Json::parse(R"([{"text":"attempt 3"},{"text":"SR","repeat":2,"value":81}])"));
    EXPECT_FALSE(ata[2]["ata"].contains("data"));
    EXPECT_FALSE(ata[2]["ata"].contains("error"));
    EXPECT_EQ(ata[3]["ata"]["wizard_result"], 2);
    EXPECT_EQ(replies[1]["items"][0]["code"], COMMAND_OK);
    sim.Stop();
}

} // namespace
} // namespace zkv
