#include "agent/UserClientSocket.h"
#include "platform/PosixConnection.h"
#include "support/ByteOrder.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"
#include "tests/support/Peer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

namespace zkv {
namespace {

using test::TempDir;

class Recorder : public IUserClientHost {
public:
    void AddLogText(std::string_view t) override { log.emplace_back(t); }
    void AddLogTextBold(std::string_view t) override {
        log.push_back("<b>" + std::string(t) + "</b>");
    }
    void ShowMessage(std::string_view t) override { messages.emplace_back(t); }
    void SetNoReconnect(bool on) override { noReconnect = on; }
    void CloseConnection() override { ++closes; }
    void StopPingTimer() override { ++pingStops; }
    bool SendPacket(PacketRecord& p) override {
        sent.push_back(p); // plain, as built
        return true;
    }
    std::vector<std::string> log;
    std::vector<std::string> messages;
    bool noReconnect = false;
    int closes = 0;
    int pingStops = 0;
    std::vector<PacketRecord> sent;
};

const Key kSessionKey = [] {
    Key k;
    for (std::size_t i = 0; i < k.size(); ++i)
        k[i] = static_cast<std::uint8_t>(0xC0 + i);
    return k;
}();

class LoginTest : public ::testing::Test {
protected:
    LoginTest() {
        user.userName = "NoName";
        user.email = "jane@example.org";
        user.password = "482916";
        user.orderNumber = 17;
        user.versionMajor = 4;
        user.versionMinor = 2;
        user.versionRelease = 22;
        user.versionBuild = 128;
    }

    // Sends the login and returns its item data.
    std::vector<std::uint8_t> Login() {
        host.sent.clear();
        EXPECT_TRUE(socket.SendLogin());
        EXPECT_EQ(host.sent.size(), 1u);
        PacketConverter items(host.sent.back());
        auto d = items.Item(0)->Data();
        return {d.begin(), d.end()};
    }

    struct ReplyShape {
        std::int32_t status = COMMAND_OK;
        std::int32_t result = 0;
        std::array<std::int32_t, 4> server{1, 2, 3, 4};
        std::array<std::int32_t, 4> dll{0, 0, 0, 0};
        std::string message = "Hello from the service";
        std::int32_t ownId = 4711;
        std::optional<OrderInfo> order;
        std::optional<std::size_t> length; // cut the data to this length
    };

    // The server's answer to `login`, laid out from the client's own L and P.
    PacketRecord Reply(const std::vector<std::uint8_t>& login, const ReplyShape& s) {
        const std::size_t P = login.size(), L = P - 97;
        std::vector<std::uint8_t> d = login;
        for (int i = 0; i < 4; ++i)
            PutI32(d.data() + L + 8 + 4 * i, s.server[i]);
        std::copy(kSessionKey.begin(), kSessionKey.end(), d.begin() + L + 24);
        PutI32(d.data() + L + 80, 11);
        PutI32(d.data() + L + 85, s.ownId);
        PutI32(d.data() + L + 89, 22);
        d.resize(P + 264, 0);
        std::copy(s.message.begin(), s.message.end(), d.begin() + P);
        for (int i = 0; i < 4; ++i)
            PutI32(d.data() + P + 239 + 4 * i, s.dll[i]);
        PutI32(d.data() + P + 255, s.result);
        if (s.order) {
            d[P + 259] = 1;
            PutI32(d.data() + P + 260, 1);
            auto o = s.order->Serialize();
            d.insert(d.end(), o.begin(), o.end());
        }
        if (s.length)
            d.resize(*s.length);
        PacketConverter list;
        ItemRecord item(s.status);
        item.SetData(std::move(d));
        list.AddItem(std::move(item));
        PacketRecord p;
        list.SerializeInto(p);
        p.header.kind = REPLY_PACKET;
        p.header.senderRole = static_cast<std::uint8_t>(Role::SERVER);
        return p;
    }

    // Runs the reply through the processor as the framing would; returns the follow-up.
    PacketRecord Process(PacketRecord reply) {
        PacketRecord followUp;
        socket.ProcessReplyPacket(reply, followUp);
        return followUp;
    }

    bool Logged(std::string_view t) const {
        for (auto& l : host.log)
            if (l == t)
                return true;
        return false;
    }
    bool LoggedPrefix(std::string_view t) const {
        for (auto& l : host.log)
            if (l.rfind(t, 0) == 0)
                return true;
        return false;
    }

    TempDir dir;
    DataDirectory data{dir.Path()};
    UserInfo user;
    ClientSettings settings;
    TransportData transport;
    Recorder host;
    UserClientSocket socket{host, user, settings, data, transport};
};

TEST_F(LoginTest, LoginPacketMatchesTheLayoutByteForByte) {
    user.userName = "N";
    user.email = "a@b";
    user.password = "";
    user.orderNumber = 0x01020304;
    auto d = Login();
    // L = 1+1 + 3+1 + 0+1 = 7; data length L + 97 = 104.
    std::vector<std::uint8_t> expected = {'N', 0, 'a', '@', 'b', 0, 0};
    auto i32 = [&](std::int32_t v) {
        for (int i = 0; i < 4; ++i)
            expected.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
    };
    i32(189);
    i32(0x01020304);
    i32(4);
    i32(2);
    i32(22);
    i32(128);
    expected.insert(expected.end(), 56, 0);
    i32(0);
    expected.push_back(2);
    i32(0);
    i32(0);
    i32(0);
    ASSERT_EQ(expected.size(), 104u);
    EXPECT_EQ(d, expected);
    EXPECT_EQ(GetI32(d.data() + 7), 189);
    EXPECT_EQ(d[91], 2);

    const PacketRecord& p = host.sent[0];
    EXPECT_EQ(+p.header.senderRole, 2);
    EXPECT_EQ(+p.header.addresseeRole, 5);
    EXPECT_EQ(+p.header.kind, COMMAND_PACKET);
    EXPECT_EQ(+p.header.delivery, 0);
    EXPECT_EQ(+p.header.destinationId, 0);
    PacketConverter items(p);
    ASSERT_EQ(items.Count(), 1u);
    EXPECT_EQ(items.Item(0)->code, CMD_LET_ME_CONNECT);
    EXPECT_EQ(items.Item(0)->flags, 1u);
    EXPECT_EQ(items.Item(0)->echo, 0u);
    ASSERT_TRUE(socket.HasPendingCommands());
    EXPECT_EQ(socket.PendingCommands()->Item(0)->code, CMD_LET_ME_CONNECT);
    // Data length is the text lengths plus 100 for a longer login as well.
    user.userName = "NoName";
    user.email = "jane@example.org";
    user.password = "482916";
    EXPECT_EQ(Login().size(), 6u + 16u + 6u + 100u);
}

TEST_F(LoginTest, ReplyOneByteShortIsRefusedAndEndsTheConnectionForGood) {
    auto login = Login();
    ReplyShape s;
    s.length = login.size() + 259;
    auto follow = Process(Reply(login, s));
    EXPECT_EQ(host.log, std::vector<std::string>{"Wrong server reply."});
    EXPECT_TRUE(host.noReconnect);
    EXPECT_EQ(host.closes, 1);
    EXPECT_TRUE(follow.body.empty());
    EXPECT_EQ(transport.WorkingKey(), kBuiltinKey);
    EXPECT_EQ(socket.OwnId(), 0);
}

TEST_F(LoginTest, ReplyOfExactlyPPlus260IsAcceptedAndSwitchesTheKey) {
    auto login = Login();
    ReplyShape s;
    s.length = login.size() + 260;
    auto follow = Process(Reply(login, s));
    EXPECT_EQ(host.log[0], "Server version is 1.2.3:4");
    EXPECT_FALSE(LoggedPrefix("DLL version is "));
    EXPECT_EQ(host.log[1], "<b>Hello from the service</b>");
    EXPECT_EQ(transport.WorkingKey(), kSessionKey);
    EXPECT_EQ(socket.OwnId(), 4711);
    EXPECT_EQ(socket.ServerValueA(), 11);
    EXPECT_EQ(socket.ServerValueB(), 22);
    EXPECT_EQ(host.closes, 0);
    ASSERT_FALSE(follow.body.empty());
    EXPECT_EQ(+follow.header.kind, COMMAND_PACKET);
    EXPECT_EQ(+follow.header.senderRole, 2);
    EXPECT_EQ(+follow.header.addresseeRole, 5);
    PacketConverter items(follow);
    EXPECT_EQ(items.Item(0)->code, CMD_CREATE_SEANS);
    EXPECT_FALSE(socket.HasOrder());
}

TEST_F(LoginTest, ServerComponentVersionIsShownWhenAnyPartIsSet) {
    auto login = Login();
    ReplyShape s;
    s.dll = {0, 0, 0, 9};
    Process(Reply(login, s));
    EXPECT_TRUE(Logged("DLL version is 0.0.0:9"));
}

TEST_F(LoginTest, RefusedResultCodesTellTheUserAndGoNoFurther) {
    for (std::int32_t code : {1, 16, 18, 20, 23}) {
        host.log.clear();
        auto login = Login();
        ReplyShape s;
        s.result = code;
        auto follow = Process(Reply(login, s));
        EXPECT_TRUE(
            Logged("You cannot be provided with access to our service. Please, contact support."))
            << code;
        EXPECT_TRUE(follow.body.empty()) << code;
        EXPECT_EQ(transport.WorkingKey(), kBuiltinKey) << code;
        EXPECT_EQ(host.closes, 0) << code;
    }
}

TEST_F(LoginTest, AcceptedResultCodesOpenTheEngagementAndOthersDoNothing) {
    for (std::int32_t code : {0, 15, 17, 19, 21}) {
        transport.UseBuiltinKey();
        auto follow = Process(Reply(Login(), ReplyShape{.result = code}));
        EXPECT_FALSE(follow.body.empty()) << code;
        EXPECT_EQ(transport.WorkingKey(), kSessionKey) << code;
    }
    transport.UseBuiltinKey();
    host.log.clear();
    auto follow = Process(Reply(Login(), ReplyShape{.result = 5}));
    EXPECT_TRUE(follow.body.empty());
    EXPECT_EQ(transport.WorkingKey(), kBuiltinKey);
    EXPECT_EQ(host.log.size(), 2u); // the version and the message, nothing else
    EXPECT_EQ(host.closes, 0);
}

TEST_F(LoginTest, FailedStatusClosesWithoutReconnectAndExplainsUnknownCodes) {
    auto follow = Process(Reply(Login(), ReplyShape{.status = COMMAND_ERROR, .result = 14}));
    EXPECT_TRUE(follow.body.empty());
    EXPECT_TRUE(host.noReconnect);
    EXPECT_EQ(host.closes, 1);
    EXPECT_FALSE(Logged("Unknown error."));
    EXPECT_EQ(transport.WorkingKey(), kBuiltinKey);

    Process(Reply(Login(), ReplyShape{.status = COMMAND_ERROR, .result = 5}));
    EXPECT_TRUE(Logged("Unknown error."));
    EXPECT_EQ(host.closes, 2);
}

TEST_F(LoginTest, OrderRecordIsKeptAndShown) {
    OrderInfo o;
    o.number = 31337;
    o.registered = 38353.5 + 1.0 / 86400 * 5; // 2005-01-01 12:00:05
    o.model = "ST380011A";
    o.serial = "5JV1XYZ2";
    o.manufactured = "2004-05-17";
    Process(Reply(Login(), ReplyShape{.order = o}));
    ASSERT_TRUE(socket.HasOrder());
    EXPECT_EQ(socket.Order().number, 31337);
    std::vector<std::string> tail(host.log.end() - 9, host.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "Number of the order: 31337",
                        "Date of registration of the order: 2005-01-01",
                        "Time of registration of the order: 12:00:05",
                        "Model specified in the order: ST380011A",
                        "Serial Number specified in the order: 5JV1XYZ2",
                        "Manufacturing date specified in the order: 2004-05-17",
                        "<HR>",
                        "Be shure that you have connected the correct HDD",
                        "<HR>",
                    }));
    // An order record whose number is 0 is kept but not shown.
    host.log.clear();
    o.number = 0;
    Process(Reply(Login(), ReplyShape{.order = o}));
    EXPECT_FALSE(LoggedPrefix("Number of the order"));
}

TEST_F(LoginTest, ResumeAfterRebootSendsTheStoredEngagementOnce) {
    IniFile ini(data.UserSetup());
    ini.WriteInteger("SEANS DATA", "OrderID", 17);
    ini.WriteInteger("SEANS DATA", "SeansID", 905);
    ini.WriteInteger("SEANS DATA", "Flags", 6);
    ini.WriteString("SEANS DATA", "LogPath", "srv/log/905");
    ini.WriteInteger("MAIN", "LogColor", 1);
    ASSERT_TRUE(ini.Save());
    settings.WasReboot = true;
    settings.Automat = true;

    auto follow = Process(Reply(Login(), ReplyShape{}));
    PacketConverter items(follow);
    const ItemRecord* req = items.Item(0);
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->flags, 0x21u);
    std::vector<std::uint8_t> expected(16);
    PutI32(expected.data(), 4711);
    PutI32(expected.data() + 4, 17);
    PutI32(expected.data() + 8, 905);
    PutI32(expected.data() + 12, 6);
    for (char c : std::string("srv/log/905"))
        expected.push_back(static_cast<std::uint8_t>(c));
    expected.push_back(0);
    EXPECT_EQ(std::vector<std::uint8_t>(req->Data().begin(), req->Data().end()), expected);
    EXPECT_EQ(req->Data().size(), 11u + 17u);
    EXPECT_FALSE(settings.WasReboot);
    ClientSettings stored;
    stored.WasReboot = true;
    ASSERT_TRUE(LoadRebootFlags(data.RebootState(), stored));
    EXPECT_FALSE(stored.WasReboot);
    EXPECT_TRUE(stored.Automat);

    // The next login, without a reboot between, asks for a fresh engagement.
    transport.UseBuiltinKey();
    follow = Process(Reply(Login(), ReplyShape{}));
    PacketConverter again(follow);
    EXPECT_EQ(again.Item(0)->Data().size(), 17u);
    EXPECT_EQ(GetI32(again.Item(0)->Data().data() + 8), 0);
}

TEST_F(LoginTest, WithoutAutomatOnlyTheIdentifierIsSentAndAutomatComesBack) {
    settings.Automat = false;
    settings.WasReboot = true;
    auto follow = Process(Reply(Login(), ReplyShape{}));
    PacketConverter items(follow);
    EXPECT_EQ(items.Item(0)->flags, 0x01u);
    ASSERT_EQ(items.Item(0)->Data().size(), 4u);
    EXPECT_EQ(GetI32(items.Item(0)->Data().data()), 4711);
    EXPECT_TRUE(settings.Automat);
    EXPECT_TRUE(settings.WasReboot);
}

// The engagement reply, after a login whose follow-up made the engagement request pending.
class EngagementTest : public LoginTest {
protected:
    void SetUp() override { ASSERT_FALSE(Process(Reply(Login(), ReplyShape{})).body.empty()); }
    void Answer(std::int32_t status, const std::vector<std::uint8_t>& bytes) {
        PacketConverter list;
        ItemRecord item(status);
        item.SetData(bytes);
        list.AddItem(std::move(item));
        PacketRecord p;
        list.SerializeInto(p);
        p.header.kind = REPLY_PACKET;
        Process(std::move(p));
    }
    static std::vector<std::uint8_t> Data(const std::string& text, const std::string& path,
                                          std::int32_t order, std::int32_t seans,
                                          std::int32_t flags) {
        std::vector<std::uint8_t> d(text.begin(), text.end());
        d.push_back(0);
        d.insert(d.end(), path.begin(), path.end());
        d.push_back(0);
        ByteWriter w(d);
        w.I32(order);
        w.I32(seans);
        w.I32(flags);
        return d;
    }
};

TEST_F(EngagementTest, SuccessStoresTheEngagementData) {
    Answer(COMMAND_OK, Data("Engagement open", "srv/log/9", 17, 9, 3));
    EXPECT_EQ(host.log.back(), "<b>Engagement open</b>");
    SeansData d = ReadSeansData(data.UserSetup());
    EXPECT_EQ(d.orderId, 17);
    EXPECT_EQ(d.seansId, 9);
    EXPECT_EQ(d.flags, 3);
    EXPECT_EQ(d.logPath, "srv/log/9");
    EXPECT_EQ(host.closes, 0);
    EXPECT_FALSE(socket.HasPendingCommands());
}

TEST_F(EngagementTest, OrderZeroStoresEngagementZero) {
    Answer(COMMAND_OK, Data("ok", "p", 0, 55, 1));
    SeansData d = ReadSeansData(data.UserSetup());
    EXPECT_EQ(d.orderId, 0);
    EXPECT_EQ(d.seansId, 0);
    EXPECT_EQ(d.flags, 1);
}

TEST_F(EngagementTest, TextOnlyOrTruncatedDataStoresZeros) {
    Answer(COMMAND_OK, {'h', 'i', 0});
    SeansData d = ReadSeansData(data.UserSetup());
    EXPECT_EQ(d.seansId, 0);
    EXPECT_EQ(d.logPath, "");
    IniFile ini(data.UserSetup());
    ASSERT_TRUE(ini.Load());
    EXPECT_TRUE(ini.HasKey("SEANS DATA", "LogPath"));
}

TEST_F(EngagementTest, FailureClosesWithoutReconnect) {
    Answer(COMMAND_ERROR, {'n', 'o', 0});
    EXPECT_EQ(host.log[host.log.size() - 2], "<b>no</b>");
    EXPECT_EQ(host.log.back(),
              "Sorry. The server cannot provide this service now. Try to connect later.");
    EXPECT_TRUE(host.noReconnect);
    EXPECT_EQ(host.pingStops, 1);
    EXPECT_EQ(host.closes, 1);
    EXPECT_FALSE(std::filesystem::exists(data.UserSetup()));
}

TEST_F(LoginTest, DisconnectRestoresTheBuiltinKeyAndForgetsThePartner) {
    Process(Reply(Login(), ReplyShape{}));
    ASSERT_EQ(transport.WorkingKey(), kSessionKey);
    socket.SetPartnerId(99);
    socket.ConnectionClosed();
    EXPECT_EQ(transport.WorkingKey(), kBuiltinKey);
    EXPECT_EQ(socket.PartnerId(), 0);
    EXPECT_FALSE(socket.HasPendingCommands());
    EXPECT_EQ(socket.OwnId(), 4711); // the next login still carries it in its header
}

// The whole exchange through the real framing over a socketpair: the engagement request is the
// first packet encoded with the connection's own key.
TEST(LoginExchangeTest, EngagementRequestTravelsUnderTheConnectionKey) {
    TempDir dir;
    test::ClientHarness client(dir.Path());
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client.Adopt(fds[0]);
    test::Peer server(fds[1]);
    client.socket->SendLogin();

    TransportData builtin;
    auto events = server.Read(builtin, 1);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].type, WireEvent::Type::Packet);
    PacketConverter login(events[0].packet);
    ASSERT_EQ(login.Item(0)->code, CMD_LET_ME_CONNECT);
    EXPECT_EQ(+events[0].packet.header.senderId, 0); // no identifier yet

    auto d = login.Item(0)->Data();
    std::vector<std::uint8_t> reply(d.begin(), d.end());
    const std::size_t P = reply.size(), L = P - 97;
    std::copy(kSessionKey.begin(), kSessionKey.end(), reply.begin() + L + 24);
    PutI32(reply.data() + L + 85, 808);
    reply.resize(P + 264, 0);
    PacketConverter list;
    ItemRecord item(COMMAND_OK);
    item.SetData(reply);
    list.AddItem(std::move(item));
    PacketRecord p;
    list.SerializeInto(p);
    p.header.kind = REPLY_PACKET;
    p.header.senderRole = 5;
    server.Write(test::Wire(std::move(p), builtin));

    client.PumpUntil([&] { return client.socket->OwnId() == 808; });
    TransportData session;
    session.UseKey(kSessionKey);
    events = server.Read(session, 1);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].type, WireEvent::Type::Packet);
    EXPECT_EQ(+events[0].packet.header.senderId, 808);
    PacketConverter request(events[0].packet);
    EXPECT_EQ(request.Item(0)->code, CMD_CREATE_SEANS);
    EXPECT_EQ(GetI32(request.Item(0)->Data().data()), 808);
}

} // namespace
} // namespace zkv
