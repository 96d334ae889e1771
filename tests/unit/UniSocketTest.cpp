#include "protocol/UniSocket.h"
#include "support/ByteOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zkv {
namespace {

PacketRecord CommandPacket(std::vector<ItemRecord> items, std::uint8_t from = 7,
                           std::uint8_t to = 2) {
    PacketConverter list;
    for (auto& i : items)
        list.AddItem(std::move(i));
    PacketRecord p;
    list.SerializeInto(p);
    p.header.senderRole = from;
    p.header.addresseeRole = to;
    p.header.kind = COMMAND_PACKET;
    p.header.senderId = 4242;
    p.header.exchangeId = 0x11223344;
    return p;
}

std::vector<std::int32_t> Codes(const PacketRecord& p) {
    PacketConverter c(p);
    std::vector<std::int32_t> codes;
    while (const ItemRecord* i = c.NextItem())
        codes.push_back(i->code);
    return codes;
}

TEST(UniSocket, DefaultAnswersInItemOrderWithSwappedRoles) {
    UniSocket s;
    PacketRecord cmd = CommandPacket([] {
        std::vector<ItemRecord> v;
        v.emplace_back(CMD_NO_OPERATION, kItemFlagWantsReply);
        v.emplace_back(CMD_DDL_SELECT, 0);
        v.emplace_back(CMD_DDL_SELECT, kItemFlagWantsReply);
        v.emplace_back(CMD_START_SEANS, kItemFlagWantsReply); // no handler at all
        v.emplace_back(99, kItemFlagWantsReply);              // outside the table
        v.emplace_back(-1, 0);
        return v;
    }());
    PacketRecord reply, follow;
    s.ProcessCommandPacket(cmd, reply, follow);
    EXPECT_EQ(Codes(reply), (std::vector<std::int32_t>{COMMAND_OK, 0, UNKNOWN_COMMAND,
                                                       UNKNOWN_COMMAND, UNKNOWN_COMMAND, 0}));
    EXPECT_EQ(reply.header.kind, REPLY_PACKET);
    EXPECT_EQ(reply.header.senderRole, 2);
    EXPECT_EQ(reply.header.addresseeRole, 7);
    EXPECT_EQ(reply.header.exchangeId, 0x11223344u);
    EXPECT_TRUE(follow.body.empty());
    EXPECT_EQ(UniSocket::LastCommandSender(), 4242);
    EXPECT_FALSE(s.Processing());
}

// Records what reaches it and lets a test decide the answers.
class Recorder : public UniSocket {
public:
    std::vector<std::string> calls;
    bool suppress = false;
    bool followUpFromReply = false;
    bool closeInHandler = false; // the handler ends the connection, as a refused login does

    void OnCmdShowLog(const ItemRecord& cmd, ItemRecord& reply, ItemRecord& followUp) override {
        calls.push_back("cmd ShowLog echo " + std::to_string(reply.echo));
        if (suppress) {
            reply.code = NO_REPLY;
            return;
        }
        reply.code = COMMAND_OK;
        reply.SetData(std::vector<std::uint8_t>(cmd.Data().begin(), cmd.Data().end()));
        replyPacket_->header.addresseeRole = 6;
        followUp.code = CMD_GET_SERVICE_LIST;
        followUp.flags = kItemFlagWantsReply;
        if (closeInHandler)
            SetPendingCommands(nullptr);
    }
    void OnReplyShowLog(const ItemRecord& pending, const ItemRecord& reply,
                        ItemRecord& followUp) override {
        calls.push_back("reply ShowLog " + std::to_string(pending.echo) + "<-" +
                        std::to_string(reply.echo));
        if (followUpFromReply) {
            followUp.code = CMD_CREATE_SEANS;
            followUp.flags = kItemFlagWantsReply;
        }
        // The window's disconnect event forgets the pending list while this handler runs.
        if (closeInHandler)
            SetPendingCommands(nullptr);
    }
    void OnReplyNoOperation(const ItemRecord& pending, const ItemRecord& reply,
                            ItemRecord&) override {
        calls.push_back("reply NoOp " + std::to_string(pending.echo) + "<-" +
                        std::to_string(reply.echo));
    }
};

TEST(UniSocket, OverriddenHandlersAnswerRouteAndIssueFollowUps) {
    Recorder s;
    s.SetOwnRole(Role::CLIENT);
    ItemRecord item(CMD_SHOW_LOG, kItemFlagWantsReply);
    item.echo = 31;
    item.SetData({'h', 'i', 0});
    std::vector<ItemRecord> items;
    items.push_back(std::move(item));
    PacketRecord cmd = CommandPacket(std::move(items), 5, 2);
    PacketRecord reply, follow;
    s.ProcessCommandPacket(cmd, reply, follow);
    ASSERT_EQ(s.calls.size(), 1u);
    EXPECT_EQ(s.calls[0], "cmd ShowLog echo 31"); // echo copied before the handler runs
    PacketConverter r(reply);
    ASSERT_EQ(r.Count(), 1u);
    EXPECT_EQ(r.Item(0)->echo, 31u);
    EXPECT_EQ(r.Item(0)->dataLength, 3);
    EXPECT_EQ(reply.header.addresseeRole, 6); // set by the handler, kept
    EXPECT_EQ(reply.header.senderRole, 2);
    EXPECT_EQ(Codes(follow), std::vector<std::int32_t>{CMD_GET_SERVICE_LIST});
    EXPECT_EQ(follow.header.kind, COMMAND_PACKET);
    EXPECT_EQ(follow.header.addresseeRole, 5);
    EXPECT_TRUE(s.HasPendingCommands());
}

TEST(UniSocket, NoReplyStatusSuppressesThePacket) {
    Recorder s;
    s.suppress = true;
    std::vector<ItemRecord> items;
    items.emplace_back(CMD_SHOW_LOG, kItemFlagWantsReply);
    PacketRecord cmd = CommandPacket(std::move(items));
    PacketRecord reply, follow;
    s.ProcessCommandPacket(cmd, reply, follow);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_EQ(reply.header.plainLength, 0);
}

TEST(UniSocket, UnparsableCommandPacketYieldsNothing) {
    UniSocket s;
    PacketRecord cmd;
    cmd.header.plainLength = 30;
    cmd.body.assign(30, 0xFF);
    PacketRecord reply, follow;
    s.ProcessCommandPacket(cmd, reply, follow);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(follow.body.empty());
}

std::unique_ptr<PacketConverter> Pending(std::vector<std::pair<std::int32_t, std::uint32_t>> v) {
    auto list = std::make_unique<PacketConverter>();
    std::uint32_t echo = 1;
    for (auto [code, flags] : v) {
        ItemRecord i(code, flags);
        i.echo = echo++;
        list->AddItem(std::move(i));
    }
    return list;
}

PacketRecord ReplyPacket(std::vector<std::uint32_t> echoes) {
    PacketConverter list;
    for (auto e : echoes) {
        ItemRecord i(COMMAND_OK);
        i.echo = e;
        list.AddItem(std::move(i));
    }
    PacketRecord p;
    list.SerializeInto(p);
    p.header.kind = REPLY_PACKET;
    p.header.senderRole = 5;
    return p;
}

TEST(UniSocket, RepliesPairByPositionSkippingItemsThatAskedForNone) {
    Recorder s;
    s.SetPendingCommands(
        Pending({{CMD_SHOW_LOG, 1}, {CMD_NO_OPERATION, 0}, {CMD_NO_OPERATION, 1}}));
    PacketRecord reply = ReplyPacket({100, 200});
    PacketRecord follow;
    s.ProcessReplyPacket(reply, follow);
    EXPECT_EQ(s.calls, (std::vector<std::string>{"reply ShowLog 1<-100", "reply NoOp 3<-200"}));
    EXPECT_FALSE(s.HasPendingCommands());
    EXPECT_FALSE(s.Processing());
    EXPECT_TRUE(follow.body.empty());

    // Nothing pending: the reply is ignored.
    s.calls.clear();
    s.ProcessReplyPacket(reply, follow);
    EXPECT_TRUE(s.calls.empty());
}

TEST(UniSocket, PairingStopsWhenReplyItemsRunOut) {
    Recorder s;
    s.SetPendingCommands(Pending({{CMD_SHOW_LOG, 1}, {CMD_NO_OPERATION, 1}, {CMD_SHOW_LOG, 1}}));
    PacketRecord reply = ReplyPacket({7});
    PacketRecord follow;
    s.ProcessReplyPacket(reply, follow);
    EXPECT_EQ(s.calls, std::vector<std::string>{"reply ShowLog 1<-7"});
    EXPECT_FALSE(s.HasPendingCommands());

    // A reply body that does not parse pairs nothing.
    s.calls.clear();
    s.SetPendingCommands(Pending({{CMD_SHOW_LOG, 1}}));
    PacketRecord broken;
    broken.header.plainLength = 10;
    broken.body.assign(10, 0xEE);
    s.ProcessReplyPacket(broken, follow);
    EXPECT_TRUE(s.calls.empty());
}

TEST(UniSocket, FollowUpFromReplyHandlerBecomesPendingCommandPacket) {
    Recorder s;
    s.SetOwnRole(Role::CLIENT);
    s.followUpFromReply = true;
    s.SetPendingCommands(Pending({{CMD_SHOW_LOG, 1}}));
    PacketRecord reply = ReplyPacket({9});
    PacketRecord follow;
    s.ProcessReplyPacket(reply, follow);
    EXPECT_EQ(Codes(follow), std::vector<std::int32_t>{CMD_CREATE_SEANS});
    EXPECT_EQ(follow.header.kind, COMMAND_PACKET);
    EXPECT_EQ(follow.header.senderRole, 2);
    EXPECT_EQ(follow.header.addresseeRole, 5);
    ASSERT_TRUE(s.HasPendingCommands());
    EXPECT_EQ(s.PendingCommands()->Item(0)->code, CMD_CREATE_SEANS);
    EXPECT_TRUE(s.Processing());
}

// A handler that closes the connection makes its disconnect event forget the pending list in
// the middle of the loop that walks it (under ASan this was a use after free). The loop stops,
// sends no follow-up and leaves nothing pending; a command packet's follow-ups go too.
TEST(UniSocket, HandlerThatEndsTheConnectionStopsTheLoopSafely) {
    Recorder s;
    s.SetOwnRole(Role::CLIENT);
    s.followUpFromReply = true;
    s.closeInHandler = true;
    s.SetPendingCommands(Pending({{CMD_SHOW_LOG, 1}, {CMD_NO_OPERATION, 1}, {CMD_SHOW_LOG, 1}}));
    PacketRecord reply = ReplyPacket({1, 2, 3});
    PacketRecord follow;
    s.ProcessReplyPacket(reply, follow);
    EXPECT_EQ(s.calls, std::vector<std::string>{"reply ShowLog 1<-1"});
    EXPECT_TRUE(follow.body.empty());
    EXPECT_FALSE(s.HasPendingCommands());
    EXPECT_FALSE(s.Processing());

    std::vector<ItemRecord> items;
    items.emplace_back(CMD_SHOW_LOG, kItemFlagWantsReply);
    PacketRecord cmd = CommandPacket(std::move(items), 5, 2);
    PacketRecord answer;
    s.ProcessCommandPacket(cmd, answer, follow);
    EXPECT_FALSE(answer.body.empty()); // the command is still answered
    EXPECT_TRUE(follow.body.empty());
    EXPECT_FALSE(s.HasPendingCommands());
}

TEST(UniSocket, HandlerTablesFollowTheCommandCodes) {
    const auto& cmds = UniSocket::CommandTable();
    const auto& replies = UniSocket::ReplyTable();
    for (int code : {7, 20, 50, 51})
        EXPECT_EQ(cmds[static_cast<std::size_t>(code)], nullptr) << code;
    for (int code : {7, 20, 49})
        EXPECT_EQ(replies[static_cast<std::size_t>(code)], nullptr) << code;
    EXPECT_EQ(cmds[CMD_SHOW_WIZARD_FORM], &UniSocket::OnCmdShowWizardForm);
    EXPECT_EQ(cmds[CMD_SET_KEY], &UniSocket::OnCmdSetKey);
    EXPECT_EQ(replies[CMD_CREATE_SEANS], &UniSocket::OnReplyCreateSeans);
    EXPECT_EQ(cmds[CMD_SHUTDOWN], &UniSocket::OnCmdShutdown);
    EXPECT_EQ(cmds[CMD_COMPORT_WRITE_DATA], &UniSocket::OnCmdComportWriteData);
    EXPECT_EQ(replies[CMD_UNLOAD_DLL], &UniSocket::OnReplyUnloadDll);
}

} // namespace
} // namespace zkv
