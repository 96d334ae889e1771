// UniSocket: the packet processor.
//
// Turns a received command packet into a reply packet (and perhaps a packet of follow-up
// commands), and a received reply packet into calls of the reply handlers of the commands that
// are pending. It does no I/O: framing hands it whole packets with plain bodies and sends what
// it fills.
//
// Each command code has a virtual command handler and a virtual reply handler, reached through
// two tables indexed by the code. Subclasses override the handlers they support.
#pragma once

#include "protocol/Packet.h"
#include "protocol/Vocabulary.h"

#include <array>
#include <memory>
#include <string_view>

namespace zkv {

class UniSocket {
public:
    using CommandHandler = void (UniSocket::*)(const ItemRecord& command, ItemRecord& reply,
                                               ItemRecord& followUp);
    using ReplyHandler = void (UniSocket::*)(const ItemRecord& pending, const ItemRecord& reply,
                                             ItemRecord& followUp);

    UniSocket() = default;
    virtual ~UniSocket() = default;
    UniSocket(const UniSocket&) = delete;
    UniSocket& operator=(const UniSocket&) = delete;

    // Selects the command handler by the item's code, after copying its echo into the reply.
    virtual void DispatchCommandItem(const ItemRecord& command, ItemRecord& reply,
                                     ItemRecord& followUp);
    // Selects the reply handler by the pending command's code (not the reply's status).
    virtual void DispatchReplyItem(const ItemRecord& pending, const ItemRecord& reply,
                                   ItemRecord& followUp);
    virtual void ProcessCommandPacket(PacketRecord& packet, PacketRecord& reply,
                                      PacketRecord& followUp);
    virtual void ProcessReplyPacket(PacketRecord& packet, PacketRecord& followUp);

    // Handler pairs, one per command code.
#define ZKV_HANDLER_PAIR(Name)                                                                     \
    virtual void OnCmd##Name(const ItemRecord& command, ItemRecord& reply, ItemRecord& followUp);  \
    virtual void OnReply##Name(const ItemRecord& pending, const ItemRecord& reply,                 \
                               ItemRecord& followUp);
    ZKV_HANDLER_PAIR(NoOperation)
    ZKV_HANDLER_PAIR(ShowLog)
    ZKV_HANDLER_PAIR(AtaCommand)
    ZKV_HANDLER_PAIR(AtaGetStatus)
    ZKV_HANDLER_PAIR(AtaReset)
    ZKV_HANDLER_PAIR(LetMeConnect)
    ZKV_HANDLER_PAIR(DeleteUser)
    ZKV_HANDLER_PAIR(GetServiceList)
    ZKV_HANDLER_PAIR(CreateSeans)
    ZKV_HANDLER_PAIR(DeleteSeans)
    ZKV_HANDLER_PAIR(GetAllId)
    ZKV_HANDLER_PAIR(AddMsgToContainer)
    ZKV_HANDLER_PAIR(GetMessage)
    ZKV_HANDLER_PAIR(GetUserList)
    ZKV_HANDLER_PAIR(CreateNode)
    ZKV_HANDLER_PAIR(AppendToNode)
    ZKV_HANDLER_PAIR(LetMeAppend)
    ZKV_HANDLER_PAIR(DisconnectFromNode)
    ZKV_HANDLER_PAIR(Disconnect)
    ZKV_HANDLER_PAIR(StartChat)
    ZKV_HANDLER_PAIR(CloseChat)
    ZKV_HANDLER_PAIR(SetAdmin)
    ZKV_HANDLER_PAIR(SetKey)
    ZKV_HANDLER_PAIR(RingChat)
    ZKV_HANDLER_PAIR(GetIdeList)
    ZKV_HANDLER_PAIR(EnableIde)
    ZKV_HANDLER_PAIR(DisableIde)
    ZKV_HANDLER_PAIR(Reboot)
    ZKV_HANDLER_PAIR(Shutdown)
    ZKV_HANDLER_PAIR(ServerRestart)
    ZKV_HANDLER_PAIR(ServerReboot)
    ZKV_HANDLER_PAIR(ServerLog)
    ZKV_HANDLER_PAIR(ServerUsers)
    ZKV_HANDLER_PAIR(ServerSettings)
    ZKV_HANDLER_PAIR(ServerFiles)
    ZKV_HANDLER_PAIR(ScanSurface)
    ZKV_HANDLER_PAIR(ShowScan)
    ZKV_HANDLER_PAIR(DisplayMessage)
    ZKV_HANDLER_PAIR(UpdateOrder)
    ZKV_HANDLER_PAIR(SqlSelect)
    ZKV_HANDLER_PAIR(DdlSelect)
    ZKV_HANDLER_PAIR(ComportGetList)
    ZKV_HANDLER_PAIR(ComportSetParam)
    ZKV_HANDLER_PAIR(ComportDoCommand)
    ZKV_HANDLER_PAIR(ComportShowData)
    ZKV_HANDLER_PAIR(ComportSetBaud)
    ZKV_HANDLER_PAIR(ComportWriteBuffer)
    ZKV_HANDLER_PAIR(ComportWriteData)
#undef ZKV_HANDLER_PAIR
    // Codes 50 and 51 have reply handlers only, code 49 a command handler only; codes 7 and 20
    // have none.
    virtual void OnReplyLoadDll(const ItemRecord& pending, const ItemRecord& reply,
                                ItemRecord& followUp);
    virtual void OnReplyUnloadDll(const ItemRecord& pending, const ItemRecord& reply,
                                  ItemRecord& followUp);
    virtual void OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply,
                                     ItemRecord& followUp);

    virtual void LogText(std::string_view) {}
    // Called once after all reply handlers of one reply packet.
    virtual void AfterReplies(PacketRecord& /*followUp*/, PacketConverter& /*followUps*/) {}

    // Makes `list` the pending commands (forgetting any previous ones). Safe from inside a
    // handler: the processing call that runs it owns the list it walks, and then drops the
    // follow-ups it built (the connection they were meant for has been closed or restarted).
    void SetPendingCommands(std::unique_ptr<PacketConverter> list);
    bool HasPendingCommands() const {
        return pending_ != nullptr;
    }
    const PacketConverter* PendingCommands() const {
        return pending_.get();
    }

    Role OwnRole() const {
        return ownRole_;
    }
    void SetOwnRole(Role r) {
        ownRole_ = r;
    }
    bool Processing() const {
        return processing_;
    }
    std::uint8_t CurrentSenderRole() const {
        return senderRole_;
    }

    // Sender identifier of the most recent command packet processed by any processor; unsolicited
    // messages are addressed to it.
    static std::int32_t LastCommandSender();
    static void SetLastCommandSender(std::int32_t id);

    static const std::array<CommandHandler, kCommandCount>& CommandTable();
    static const std::array<ReplyHandler, kCommandCount>& ReplyTable();

protected:
    // The answer of every command handler that is not overridden: UNKNOWN COMMAND with no data
    // when the item asks for a reply, otherwise nothing.
    static void AnswerUnknown(const ItemRecord& command, ItemRecord& reply);

    // References valid during one processing call.
    PacketRecord* currentPacket_ = nullptr;
    PacketRecord* replyPacket_ = nullptr;
    PacketRecord* followUpPacket_ = nullptr;

private:
    Role ownRole_ = Role::UNKNOWN;
    std::unique_ptr<PacketConverter> pending_;
    // Counts every change of the pending list, so that a processing call sees whether a
    // handler replaced it.
    std::uint64_t pendingGeneration_ = 0;
    std::uint8_t senderRole_ = 0;
    bool processing_ = false;
};

} // namespace zkv
