#include "protocol/UniSocket.h"

#include <atomic>

namespace zkv {

namespace {
std::atomic<std::int32_t> gLastCommandSender{0};

#define ZKV_CMD(Name) &UniSocket::OnCmd##Name
#define ZKV_REPLY(Name) &UniSocket::OnReply##Name

// Indexed by command code. Null: the code has no handler of that kind.
const std::array<UniSocket::CommandHandler, kCommandCount> kCommandHandlers = {
    ZKV_CMD(NoOperation),        // 0
    ZKV_CMD(ShowLog),            // 1
    ZKV_CMD(LetMeConnect),       // 2
    ZKV_CMD(DeleteUser),         // 3
    ZKV_CMD(GetServiceList),     // 4
    ZKV_CMD(CreateSeans),        // 5
    ZKV_CMD(DeleteSeans),        // 6
    nullptr,                     // 7 CMD_START_SEANS
    ZKV_CMD(GetUserList),        // 8
    ZKV_CMD(CreateNode),         // 9
    ZKV_CMD(AppendToNode),       // 10
    ZKV_CMD(LetMeAppend),        // 11
    ZKV_CMD(DisconnectFromNode), // 12
    ZKV_CMD(Disconnect),         // 13
    ZKV_CMD(StartChat),          // 14
    ZKV_CMD(CloseChat),          // 15
    ZKV_CMD(SetAdmin),           // 16
    ZKV_CMD(GetAllId),           // 17
    ZKV_CMD(AddMsgToContainer),  // 18
    ZKV_CMD(GetMessage),         // 19
    nullptr,                     // 20 CMD_SHOW_CHAT
    ZKV_CMD(AtaCommand),         // 21
    ZKV_CMD(AtaGetStatus),       // 22
    ZKV_CMD(AtaReset),           // 23
    ZKV_CMD(RingChat),           // 24
    ZKV_CMD(GetIdeList),         // 25
    ZKV_CMD(EnableIde),          // 26
    ZKV_CMD(DisableIde),         // 27
    ZKV_CMD(Reboot),             // 28
    ZKV_CMD(ServerRestart),      // 29
    ZKV_CMD(ServerReboot),       // 30
    ZKV_CMD(ServerLog),          // 31
    ZKV_CMD(ServerUsers),        // 32
    ZKV_CMD(ServerSettings),     // 33
    ZKV_CMD(ServerFiles),        // 34
    ZKV_CMD(ScanSurface),        // 35
    ZKV_CMD(ShowScan),           // 36
    ZKV_CMD(DisplayMessage),     // 37
    ZKV_CMD(UpdateOrder),        // 38
    ZKV_CMD(SqlSelect),          // 39
    ZKV_CMD(DdlSelect),          // 40
    ZKV_CMD(ComportGetList),     // 41
    ZKV_CMD(ComportSetParam),    // 42
    ZKV_CMD(ComportDoCommand),   // 43
    ZKV_CMD(ComportShowData),    // 44
    ZKV_CMD(ComportSetBaud),     // 45
    ZKV_CMD(ComportWriteBuffer), // 46
    ZKV_CMD(ComportWriteData),   // 47
    ZKV_CMD(SetKey),             // 48
    ZKV_CMD(ShowWizardForm),     // 49
    nullptr,                     // 50 CMD_LOAD_DLL
    nullptr,                     // 51 CMD_UNLOAD_DLL
    ZKV_CMD(Shutdown),           // 52
};

const std::array<UniSocket::ReplyHandler, kCommandCount> kReplyHandlers = {
    ZKV_REPLY(NoOperation),        // 0
    ZKV_REPLY(ShowLog),            // 1
    ZKV_REPLY(LetMeConnect),       // 2
    ZKV_REPLY(DeleteUser),         // 3
    ZKV_REPLY(GetServiceList),     // 4
    ZKV_REPLY(CreateSeans),        // 5
    ZKV_REPLY(DeleteSeans),        // 6
    nullptr,                       // 7 CMD_START_SEANS
    ZKV_REPLY(GetUserList),        // 8
    ZKV_REPLY(CreateNode),         // 9
    ZKV_REPLY(AppendToNode),       // 10
    ZKV_REPLY(LetMeAppend),        // 11
    ZKV_REPLY(DisconnectFromNode), // 12
    ZKV_REPLY(Disconnect),         // 13
    ZKV_REPLY(StartChat),          // 14
    ZKV_REPLY(CloseChat),          // 15
    ZKV_REPLY(SetAdmin),           // 16
    ZKV_REPLY(GetAllId),           // 17
    ZKV_REPLY(AddMsgToContainer),  // 18
    ZKV_REPLY(GetMessage),         // 19
    nullptr,                       // 20 CMD_SHOW_CHAT
    ZKV_REPLY(AtaCommand),         // 21
    ZKV_REPLY(AtaGetStatus),       // 22
    ZKV_REPLY(AtaReset),           // 23
    ZKV_REPLY(RingChat),           // 24
    ZKV_REPLY(GetIdeList),         // 25
    ZKV_REPLY(EnableIde),          // 26
    ZKV_REPLY(DisableIde),         // 27
    ZKV_REPLY(Reboot),             // 28
    ZKV_REPLY(ServerRestart),      // 29
    ZKV_REPLY(ServerReboot),       // 30
    ZKV_REPLY(ServerLog),          // 31
    ZKV_REPLY(ServerUsers),        // 32
    ZKV_REPLY(ServerSettings),     // 33
    ZKV_REPLY(ServerFiles),        // 34
    ZKV_REPLY(ScanSurface),        // 35
    ZKV_REPLY(ShowScan),           // 36
    ZKV_REPLY(DisplayMessage),     // 37
    ZKV_REPLY(UpdateOrder),        // 38
    ZKV_REPLY(SqlSelect),          // 39
    ZKV_REPLY(DdlSelect),          // 40
    ZKV_REPLY(ComportGetList),     // 41
    ZKV_REPLY(ComportSetParam),    // 42
    ZKV_REPLY(ComportDoCommand),   // 43
    ZKV_REPLY(ComportShowData),    // 44
    ZKV_REPLY(ComportSetBaud),     // 45
    ZKV_REPLY(ComportWriteBuffer), // 46
    ZKV_REPLY(ComportWriteData),   // 47
    ZKV_REPLY(SetKey),             // 48
    nullptr,                       // 49 CMD_SHOW_WIZARD_FORM
    ZKV_REPLY(LoadDll),            // 50
    ZKV_REPLY(UnloadDll),          // 51
    ZKV_REPLY(Shutdown),           // 52
};
#undef ZKV_CMD
#undef ZKV_REPLY
} // namespace

const std::array<UniSocket::CommandHandler, kCommandCount>& UniSocket::CommandTable() {
    return kCommandHandlers;
}
const std::array<UniSocket::ReplyHandler, kCommandCount>& UniSocket::ReplyTable() {
    return kReplyHandlers;
}

std::int32_t UniSocket::LastCommandSender() {
    return gLastCommandSender.load();
}
void UniSocket::SetLastCommandSender(std::int32_t id) {
    gLastCommandSender.store(id);
}

void UniSocket::AnswerUnknown(const ItemRecord& command, ItemRecord& reply) {
    if (command.WantsReply()) {
        reply.code = UNKNOWN_COMMAND;
        reply.SetData({});
    }
}

void UniSocket::DispatchCommandItem(const ItemRecord& command, ItemRecord& reply,
                                    ItemRecord& followUp) {
    reply.echo = command.echo;
    if (command.code >= 0 && command.code < kCommandCount) {
        if (CommandHandler h = kCommandHandlers[static_cast<std::size_t>(command.code)]) {
            (this->*h)(command, reply, followUp);
            return;
        }
    }
    AnswerUnknown(command, reply);
}

void UniSocket::DispatchReplyItem(const ItemRecord& pending, const ItemRecord& reply,
                                  ItemRecord& followUp) {
    if (pending.code >= 0 && pending.code < kCommandCount) {
        if (ReplyHandler h = kReplyHandlers[static_cast<std::size_t>(pending.code)])
            (this->*h)(pending, reply, followUp);
    }
}

void UniSocket::ProcessCommandPacket(PacketRecord& packet, PacketRecord& reply,
                                     PacketRecord& followUp) {
    currentPacket_ = &packet;
    replyPacket_ = &reply;
    followUpPacket_ = &followUp;
    SetLastCommandSender(packet.header.senderId);
    processing_ = true;
    senderRole_ = packet.header.senderRole;

    const std::uint64_t generation = pendingGeneration_;
    PacketConverter commands(packet);
    reply.header = PacketHeader{};
    reply.body.clear();
    reply.header.exchangeId = packet.header.exchangeId;
    if (commands.GetStatus() != 0) {
        processing_ = false;
        return;
    }

    PacketConverter replies;
    auto followUps = std::make_unique<PacketConverter>();
    while (const ItemRecord* command = commands.NextItem()) {
        ItemRecord replyItem;
        ItemRecord followUpItem;
        DispatchCommandItem(*command, replyItem, followUpItem);
        if (replyItem.code != NO_REPLY)
            replies.AddItem(std::move(replyItem));
        if (followUpItem.code != 0)
            followUps->AddItem(std::move(followUpItem));
    }

    if (replies.Count() > 0) {
        replies.SerializeInto(reply);
        if (reply.header.senderRole == 0)
            reply.header.senderRole = packet.header.addresseeRole;
        if (reply.header.addresseeRole == 0)
            reply.header.addresseeRole = packet.header.senderRole;
        reply.header.kind = REPLY_PACKET;
    }
    // A handler that closed the connection (CMD_DISCONNECT) or started a new exchange has
    // replaced the pending list: the follow-ups belong to a connection that is gone.
    if (followUps->Count() > 0 && pendingGeneration_ == generation) {
        followUps->SerializeInto(followUp);
        if (followUp.header.senderRole == 0)
            followUp.header.senderRole = packet.header.addresseeRole;
        if (followUp.header.addresseeRole == 0)
            followUp.header.addresseeRole = packet.header.senderRole;
        followUp.header.kind = COMMAND_PACKET;
        pending_ = std::move(followUps);
        pending_->Rewind();
    }
    processing_ = false;
    currentPacket_ = nullptr;
    replyPacket_ = nullptr;
    followUpPacket_ = nullptr;
}

void UniSocket::ProcessReplyPacket(PacketRecord& packet, PacketRecord& followUp) {
    if (!pending_)
        return;
    currentPacket_ = &packet;
    followUpPacket_ = &followUp;
    processing_ = true;
    senderRole_ = packet.header.senderRole;

    PacketConverter replies(packet);
    // The loop owns the list it walks: a handler may close the connection, whose disconnect
    // forgets the pending commands, and the list must outlive that handler's return.
    const std::unique_ptr<PacketConverter> walking = std::move(pending_);
    const std::uint64_t generation = ++pendingGeneration_;
    walking->Rewind();
    auto followUps = std::make_unique<PacketConverter>();
    // Pair by position: each pending command that asked for a reply takes the next reply item.
    // When the reply items run out, or a handler has ended the exchange, pairing stops.
    while (pendingGeneration_ == generation) {
        const ItemRecord* command = walking->NextItem();
        if (!command)
            break;
        if (!command->WantsReply())
            continue;
        const ItemRecord* replyItem = replies.NextItem();
        if (!replyItem)
            break;
        ItemRecord followUpItem;
        DispatchReplyItem(*command, *replyItem, followUpItem);
        if (followUpItem.code != 0)
            followUps->AddItem(std::move(followUpItem));
    }
    if (pendingGeneration_ != generation) {
        // A handler closed the connection (or sent a new command list): what was built for
        // this reply goes nowhere, and the list now pending is not this loop's to touch.
        processing_ = pending_ != nullptr;
        currentPacket_ = nullptr;
        followUpPacket_ = nullptr;
        return;
    }
    AfterReplies(followUp, *followUps);

    if (followUps->Count() > 0) {
        followUps->SerializeInto(followUp);
        followUp.header.senderRole = static_cast<std::uint8_t>(ownRole_);
        if (followUp.header.addresseeRole == 0)
            followUp.header.addresseeRole = packet.header.senderRole;
        followUp.header.kind = COMMAND_PACKET;
        pending_ = std::move(followUps);
        pending_->Rewind();
    } else {
        processing_ = false;
    }
    currentPacket_ = nullptr;
    followUpPacket_ = nullptr;
}

void UniSocket::SetPendingCommands(std::unique_ptr<PacketConverter> list) {
    ++pendingGeneration_;
    pending_ = std::move(list);
    processing_ = pending_ != nullptr;
    if (pending_)
        pending_->Rewind();
}

// Default handlers: NO OPERATION succeeds, every other command is unknown, replies are ignored.
void UniSocket::OnCmdNoOperation(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    reply.code = COMMAND_OK;
    reply.SetData({});
}
void UniSocket::OnReplyNoOperation(const ItemRecord&, const ItemRecord&, ItemRecord&) {}

#define ZKV_DEFAULT_PAIR(Name)                                                                     \
    void UniSocket::OnCmd##Name(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {       \
        AnswerUnknown(command, reply);                                                             \
    }                                                                                              \
    void UniSocket::OnReply##Name(const ItemRecord&, const ItemRecord&, ItemRecord&) {}
ZKV_DEFAULT_PAIR(ShowLog)
ZKV_DEFAULT_PAIR(AtaCommand)
ZKV_DEFAULT_PAIR(AtaGetStatus)
ZKV_DEFAULT_PAIR(AtaReset)
ZKV_DEFAULT_PAIR(LetMeConnect)
ZKV_DEFAULT_PAIR(DeleteUser)
ZKV_DEFAULT_PAIR(GetServiceList)
ZKV_DEFAULT_PAIR(CreateSeans)
ZKV_DEFAULT_PAIR(DeleteSeans)
ZKV_DEFAULT_PAIR(GetAllId)
ZKV_DEFAULT_PAIR(AddMsgToContainer)
ZKV_DEFAULT_PAIR(GetMessage)
ZKV_DEFAULT_PAIR(GetUserList)
ZKV_DEFAULT_PAIR(CreateNode)
ZKV_DEFAULT_PAIR(AppendToNode)
ZKV_DEFAULT_PAIR(LetMeAppend)
ZKV_DEFAULT_PAIR(DisconnectFromNode)
ZKV_DEFAULT_PAIR(Disconnect)
ZKV_DEFAULT_PAIR(StartChat)
ZKV_DEFAULT_PAIR(CloseChat)
ZKV_DEFAULT_PAIR(SetAdmin)
ZKV_DEFAULT_PAIR(SetKey)
ZKV_DEFAULT_PAIR(RingChat)
ZKV_DEFAULT_PAIR(GetIdeList)
ZKV_DEFAULT_PAIR(EnableIde)
ZKV_DEFAULT_PAIR(DisableIde)
ZKV_DEFAULT_PAIR(Reboot)
ZKV_DEFAULT_PAIR(Shutdown)
ZKV_DEFAULT_PAIR(ServerRestart)
ZKV_DEFAULT_PAIR(ServerReboot)
ZKV_DEFAULT_PAIR(ServerLog)
ZKV_DEFAULT_PAIR(ServerUsers)
ZKV_DEFAULT_PAIR(ServerSettings)
ZKV_DEFAULT_PAIR(ServerFiles)
ZKV_DEFAULT_PAIR(ScanSurface)
ZKV_DEFAULT_PAIR(ShowScan)
ZKV_DEFAULT_PAIR(DisplayMessage)
ZKV_DEFAULT_PAIR(UpdateOrder)
ZKV_DEFAULT_PAIR(SqlSelect)
ZKV_DEFAULT_PAIR(DdlSelect)
ZKV_DEFAULT_PAIR(ComportGetList)
ZKV_DEFAULT_PAIR(ComportSetParam)
ZKV_DEFAULT_PAIR(ComportDoCommand)
ZKV_DEFAULT_PAIR(ComportShowData)
ZKV_DEFAULT_PAIR(ComportSetBaud)
ZKV_DEFAULT_PAIR(ComportWriteBuffer)
ZKV_DEFAULT_PAIR(ComportWriteData)
#undef ZKV_DEFAULT_PAIR

void UniSocket::OnReplyLoadDll(const ItemRecord&, const ItemRecord&, ItemRecord&) {}
void UniSocket::OnReplyUnloadDll(const ItemRecord&, const ItemRecord&, ItemRecord&) {}
void UniSocket::OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    AnswerUnknown(command, reply);
}

} // namespace zkv
