// The items the service stand-in answers itself: the login (with the connection's key, its
// identifier and the optional order record) and the engagement request, and, once the
// engagement is open, the fault packets each followed by a command that proves the connection
// is still in step.
#include "sim/ServiceSession.h"

#include "support/ByteOrder.h"
#include "support/OrderInfo.h"

#include <algorithm>
#include <random>

namespace zkv::sim {
namespace {

bool IsAcceptance(std::int32_t code) {
    return code == 0 || code == 15 || code == 17 || code == 19 || code == 21;
}

void PutZText(std::vector<std::uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

Key RandomKey() {
    static std::random_device rd;
    Key k;
    for (auto& b : k)
        b = static_cast<std::uint8_t>(rd());
    return k;
}

} // namespace

void ServiceSession::HandleCommand(const PacketRecord& packet) {
    PacketConverter commands(packet);
    if (commands.GetStatus() != 0)
        return;
    PacketConverter replies;
    bool switchKey = false;
    bool opened = false;
    bool loggedIn = false;
    Key key{};
    while (const ItemRecord* item = commands.NextItem()) {
        if (item->code == CMD_LET_ME_CONNECT) {
            key = o_.sessionKey ? *o_.sessionKey : RandomKey();
            ItemRecord r = LoginReply(*item, key);
            switchKey = r.code == COMMAND_OK && IsAcceptance(o_.resultCode);
            loggedIn = true;
            replies.AddItem(std::move(r));
        } else if (item->code == CMD_CREATE_SEANS) {
            ItemRecord r = SeansReply(*item);
            opened = r.code == COMMAND_OK;
            replies.AddItem(std::move(r));
        }
    }
    if (replies.Count() == 0)
        return;
    PacketRecord reply;
    replies.SerializeInto(reply);
    reply.header.senderRole = static_cast<std::uint8_t>(Role::SERVER);
    reply.header.addresseeRole = packet.header.senderRole;
    reply.header.kind = REPLY_PACKET;
    reply.header.exchangeId = packet.header.exchangeId;
    // The login reply still travels under the built-in key; the key changes after it.
    Enqueue(reply, loggedIn && o_.closeAfterLogin,
            switchKey ? std::optional<Key>(key) : std::nullopt);
    if (opened)
        StartEngagement();
}

ItemRecord ServiceSession::LoginReply(const ItemRecord& login, const Key& key) {
    ItemRecord r(o_.loginStatus);
    r.echo = login.echo;
    auto in = login.Data();
    const std::size_t P = in.size();
    if (P < 100) {
        r.code = COMMAND_ERROR;
        r.SetData({});
        return r;
    }
    const std::size_t L = P - 97;
    std::vector<std::uint8_t> d(in.begin(), in.end());
    for (std::size_t i = 0; i < 4; ++i)
        PutI32(d.data() + L + 8 + 4 * i, o_.serverVersion[i]);
    std::copy(key.begin(), key.end(), d.begin() + static_cast<std::ptrdiff_t>(L + 24));
    PutI32(d.data() + L + 80, o_.valueA);
    PutI32(d.data() + L + 85, ownId_);
    PutI32(d.data() + L + 89, o_.valueB);
    std::vector<std::uint8_t> msg(239, 0);
    std::copy_n(o_.message.begin(), std::min<std::size_t>(o_.message.size(), 238), msg.begin());
    d.insert(d.end(), msg.begin(), msg.end());
    ByteWriter w(d);
    for (std::int32_t v : o_.dllVersion)
        w.I32(v);
    w.I32(o_.resultCode);
    w.U8(o_.order != 0 ? 1 : 0);
    w.I32(o_.order != 0 ? 1 : 0);
    if (o_.order != 0) {
        OrderInfo order;
        order.number = o_.order;
        order.model = o_.orderModel;
        order.serial = o_.orderSerial;
        order.manufactured = o_.orderMade;
        auto bytes = order.Serialize();
        d.insert(d.end(), bytes.begin(), bytes.end());
    }
    if (o_.shortLoginReply)
        d.resize(P + 259);
    r.SetData(std::move(d));
    return r;
}

ItemRecord ServiceSession::SeansReply(const ItemRecord& request) {
    ItemRecord r(o_.seansStatus);
    r.echo = request.echo;
    ByteReader in(request.Data());
    std::int32_t id = 0, order = 0, seans = 0, flags = 0;
    std::string logPath;
    in.I32(id);
    if (in.I32(order) && in.I32(seans) && in.I32(flags))
        in.ZText(logPath);
    std::vector<std::uint8_t> d;
    PutZText(d, o_.seansText);
    if (r.code == COMMAND_OK) {
        PutZText(d, logPath.empty() ? o_.seansLogPath : logPath);
        ByteWriter w(d);
        w.I32(order != 0 ? order : o_.order);
        w.I32(seans != 0 ? seans : o_.seansId);
        w.I32(flags != 0 ? flags : o_.seansFlags);
    }
    r.SetData(std::move(d));
    return r;
}

void ServiceSession::StartEngagement() {
    step_ = 0;
    waitingFor_.reset();
    waitingItem_ = false;
    for (std::size_t i = 0; i < o_.faults.size(); ++i) {
        const std::string& f = o_.faults[i];
        std::uint8_t raw[kHeaderSize];
        PacketHeader h{};
        if (f == "keepalive") {
            EnqueueKeepalive();
        } else if (f == "corrupt-header") {
            h.wireLength = 16;
            h.plainLength = 24;
            h.Seal(raw);
            raw[5] ^= 0x04;
            EnqueueBytes({raw, raw + kHeaderSize}, {}, false);
        } else if (f == "huge-header") {
            h.wireLength = 1 << 30;
            h.plainLength = 100;
            h.Seal(raw);
            EnqueueBytes({raw, raw + kHeaderSize}, {}, false);
        } else if (f == "undecodable-body") {
            std::vector<std::uint8_t> body(64);
            std::random_device rd;
            for (auto& b : body)
                b = static_cast<std::uint8_t>(rd());
            h.wireLength = 64;
            h.plainLength = 100;
            h.kind = COMMAND_PACKET;
            h.Seal(raw);
            EnqueueBytes({raw, raw + kHeaderSize}, body, false);
        }
        // Proof that the connection is still in step: a command the client must answer.
        PacketConverter list;
        ItemRecord check(CMD_SHOW_LOG, kItemFlagWantsReply);
        check.echo = static_cast<std::uint32_t>(i + 1);
        std::vector<std::uint8_t> text;
        PutZText(text, "Stand-in check after " + f + ".");
        check.SetData(std::move(text));
        list.AddItem(std::move(check));
        PacketRecord p;
        list.SerializeInto(p);
        p.header.senderRole = static_cast<std::uint8_t>(Role::TECH);
        p.header.addresseeRole = static_cast<std::uint8_t>(Role::CLIENT);
        p.header.kind = COMMAND_PACKET;
        Enqueue(p, false);
    }
    PlayScript();
}

} // namespace zkv::sim
