#include "sim/ServiceSim.h"

#include "sim/TechnicianScript.h"

#include "platform/PosixConnection.h"
#include "protocol/Framing.h"
#include "protocol/PacketJson.h"
#include "support/AtomicFile.h"
#include "support/ByteOrder.h"
#include "support/OrderInfo.h"
#include "support/UserData.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <fstream>
#include <list>
#include <memory>
#include <ostream>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>

namespace zkv::sim {

const char* const kUsage =
    "usage: zelkova-service-sim [OPTION]...\n"
    "\n"
    "A loopback stand-in for the service's server. Answers the client's login and engagement\n"
    "request, sends keep-alives, plays a technician script and prints every packet it\n"
    "receives as one JSON line in the form of `zelkova-wire decode`. Lines with an \"event\"\n"
    "key report the server's own doings: listening, connected, closed.\n"
    "\n"
    "Listening:\n"
    "  --bind ADDR            address to listen on (default 127.0.0.1)\n"
    "  --port N               port to listen on, 0 picks a free one (default 4636)\n"
    "  --port-file FILE       write the port number to FILE once listening\n"
    "  --max-connections N    exit once N connections have ended (default: serve until\n"
    "                         SIGINT or SIGTERM)\n"
    "\n"
    "Login reply:\n"
    "  --own-id N             identifier of the first connection; later ones count up (1001)\n"
    "  --login-status S       reply status, decimal or 0x hex (default 0x1001, COMMAND OK)\n"
    "  --result-code N        result code, an error code of the protocol (default 0)\n"
    "  --message TEXT         server message (default \"Welcome to the Zelkova service.\")\n"
    "  --server-version A.B.C.D    server version (default 1.0.0.0)\n"
    "  --dll-version A.B.C.D       server component version (default 0.0.0.0)\n"
    "  --values A,B           the two further values of the reply (default 0,0)\n"
    "  --session-key HEX      per-connection key as 112 hex digits (default: a fresh random\n"
    "                         key for every connection)\n"
    "  --order N              append an order record with order number N (default: none)\n"
    "  --order-model TEXT, --order-serial TEXT, --order-made TEXT\n"
    "                         model, serial number and manufacturing date of that record\n"
    "  --short-login-reply    send a login reply one byte shorter than the client accepts\n"
    "\n"
    "Engagement reply:\n"
    "  --seans-status S       reply status (default 0x1001)\n"
    "  --seans-text TEXT      text shown to the user (default \"The engagement is open.\")\n"
    "  --seans-id N           engagement identifier when the request carries none (77)\n"
    "  --seans-flags N        engagement flags (3)\n"
    "  --seans-log-path TEXT  log location when the request carries none\n"
    "\n"
    "After the engagement is open:\n"
    "  --faults LIST          comma separated, sent in order, each followed by a CMD_SHOW_LOG\n"
    "                         command (reply wanted, item echo = its position from 1) that\n"
    "                         shows the connection survived: keepalive, corrupt-header (one\n"
    "                         flipped bit), huge-header (intact, announcing 1 GiB),\n"
    "                         undecodable-body (intact header, body of random bytes)\n"
    "  --script FILE          a technician script: JSON lines in the input form of\n"
    "                         `zelkova-wire encode`, sent in order with the connection's key\n"
    "                         (see \"Scripts\" below)\n"
    "\n"
    "Delivery:\n"
    "  --keepalive-ms N       send a keep-alive header every N ms (default 0: none)\n"
    "  --split-header         write every header as 20 and then 33 bytes\n"
    "  --body-segment N       write bodies in segments of N bytes\n"
    "  --segment-delay-ms N   pause between the segments of one packet (default 30)\n"
    "  --close-after-ms N     close every connection N ms after accepting it\n"
    "  --close-after-login    close once the login reply is written\n"
    "  --close-after-script   close once the faults and the script are written (after a\n"
    "                         pause that ends the script)\n"
    "\n"
    "  --help                 show this text\n"
    "\n"
    "Scripts (one JSON object a line; docs/service-sim.md has the details):\n"
    "  {\"delay_ms\": N}        pause N ms before the next packet\n"
    "  {\"wait_reply_ms\": N}   wait for the client's reply to the previous packet (same\n"
    "                         exchange_id), at most N ms (up to 600000); on time-out print\n"
    "                         {\"event\": \"wait_timeout\"} and go on\n"
    "  {\"wait_item\": C, \"data_prefix\": HEX, \"ms\": N}   wait until the client sends an\n"
    "                         item of code C whose data begin with HEX (optional) after the\n"
    "                         previous packet, at most N ms; on time-out print wait_timeout\n"
    "  {\"header\": {...}, \"items\": [...]}   a packet; an item may give instead of \"data\"\n"
    "      \"ata\": {command, features, count, lba, device, protocol, time, dataLen, tag,\n"
    "              repeat, flags, result, data, or any register: FR SC SN CL CH DH CR FR1\n"
    "              SN1 SC1 CL1 CH1 ER SR DC AC Data BufferRef}   a CMD_ATA_COMMAND record\n"
    "              (protocol by number or name, e.g. \"PR_PIO_READ\"; flags by number or\n"
    "              names, e.g. [\"EXTADDR\", \"WRITELOG\"]; data = hex bytes to write)\n"
    "      \"wizard\": {message, dlgType, buttons, needHelp, helpLink}   a TWizFormData\n"
    "    a packet with \"ata\" items carries the ATA flag (header flag 8) unless its header\n"
    "    gives \"flags\"\n"
    "  {\"keepalive\": true}    a keep-alive header\n"
    "  A packet that is waited for or carries ATA records gets a fresh exchange_id unless it\n"
    "  gives one. A CMD_SET_KEY item of 56 bytes: the key packet goes out under the old key;\n"
    "  after it the stand-in encodes with the new key, and decodes with it what the client\n"
    "  sends once the key packet is written. Replies to ATA batches are printed with an\n"
    "  \"ata\" member per item: the record's fields, the data read, the trace of each attempt\n"
    "  (or the dialog's answer, \"wizard_result\").\n";

namespace {

using Clock = std::chrono::steady_clock;

bool ToInt(const std::string& s, std::int64_t& out) {
    try {
        std::size_t used = 0;
        long long v = std::stoll(s, &used, 0);
        if (used != s.size())
            return false;
        out = v;
        return true;
    } catch (...) {
        return false;
    }
}

bool ToVersion(const std::string& s, std::array<std::int32_t, 4>& v) {
    std::istringstream in(s);
    std::string part;
    std::size_t i = 0;
    while (std::getline(in, part, '.')) {
        std::int64_t n;
        if (i >= 4 || !ToInt(part, n))
            return false;
        v[i++] = static_cast<std::int32_t>(n);
    }
    return i == 4;
}

std::vector<std::string> SplitCommas(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty())
            out.push_back(part);
    return out;
}

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

struct Segment {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    Clock::time_point due;
    bool closeAfter = false;
    // Once this segment is written, what the client sends is decoded with this key.
    std::optional<Key> receiveKeyAfter;
};

class Session;

// The stand-in's packet processor: answers the login and the engagement request itself and
// leaves everything else unanswered (it is printed, which is what the tests look at).
class SessionProcessor : public UniSocket {
public:
    explicit SessionProcessor(Session& s) : session_(s) { SetOwnRole(Role::SERVER); }
    void ProcessCommandPacket(PacketRecord& packet, PacketRecord& reply,
                              PacketRecord& followUp) override;
    void ProcessReplyPacket(PacketRecord&, PacketRecord&) override {}

private:
    Session& session_;
};

class Session : public IFramingHost, public IFramingObserver {
public:
    Session(int fd, int index, std::int32_t ownId, const ServiceOptions& o,
            const std::vector<ScriptStep>& script, std::ostream& out, std::ostream& err)
        : conn_(fd), framing_(conn_, *this, receive_), processor_(*this), o_(o), script_(script),
          out_(out), err_(err), index_(index), ownId_(ownId) {
        framing_.SetObserver(this);
        const auto now = Clock::now();
        cursor_ = now;
        if (o_.closeAfterMs > 0)
            closeAt_ = now + std::chrono::milliseconds(o_.closeAfterMs);
        if (o_.keepaliveMs > 0)
            nextKeepalive_ = now + std::chrono::milliseconds(o_.keepaliveMs);
    }

    int Fd() const { return conn_.Fd(); }
    int Index() const { return index_; }
    bool Open() const { return conn_.Active(); }

    // IFramingHost: the stand-in has no window; the switches are inert.
    void RestartPingWatchdog() override {}
    bool NoReconnectFlag() const override { return true; }
    void SetNoReconnectFlag(bool) override {}
    bool DetailedLogging() const override { return false; }
    void LogText(std::string_view text) override {
        err_ << "zelkova-service-sim: connection " << index_ << ": " << text << "\n";
    }
    std::int32_t OwnId() const override { return 0; }
    std::int32_t PartnerId() const override { return 0; }
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) override {
        packet.reset(); // printed already; nothing to run
        return true;
    }
    UniSocket& Processor() override { return processor_; }

    // IFramingObserver: every event in the inspector's decode form.
    void OnKeepalive(std::size_t offset, const PacketHeader& h) override {
        WireEvent ev;
        ev.type = WireEvent::Type::Keepalive;
        ev.offset = offset;
        ev.packet.header = h;
        Print(ev);
    }
    void OnBadHeader(std::size_t offset, const std::uint8_t*) override {
        WireEvent ev;
        ev.type = WireEvent::Type::BadHeader;
        ev.offset = offset;
        Print(ev);
    }
    void OnBadBody(std::size_t offset, const PacketHeader& h, DecodeResult why) override {
        WireEvent ev;
        ev.type = WireEvent::Type::BadBody;
        ev.offset = offset;
        ev.packet.header = h;
        ev.error = DecodeResultText(why);
        Print(ev);
    }
    void OnPacket(std::size_t offset, const PacketRecord& p) override {
        WireEvent ev;
        ev.offset = offset;
        ev.packet = p;
        const bool wellFormed = PacketConverter(p).GetStatus() == 0;
        if (!wellFormed) {
            ev.type = WireEvent::Type::BadBody;
            ev.error = "item list is malformed";
            ev.packet.body.clear();
        }
        Json j = WireEventToJson(ev);
        const bool reply = p.header.kind == REPLY_PACKET;
        if (reply && wellFormed && ataBatches_.count(p.header.exchangeId))
            DecorateAtaReply(p, j);
        out_ << j.dump(-1, ' ', false, Json::error_handler_t::replace) << std::endl;
        if (wellFormed && NoteItems(p) && waitingItem_)
            EndWait();
        if (reply) {
            if (lastExchangeId_ && *lastExchangeId_ == p.header.exchangeId)
                lastReplied_ = true;
            if (waitingFor_ && *waitingFor_ == p.header.exchangeId)
                EndWait();
        }
    }

    // The wait the script is held by is over (its answer came, or its time ran out).
    void EndWait() {
        waitingFor_.reset();
        waitingItem_ = false;
        ++step_;
        PlayScript();
    }

    // Remembers the client's items since the last script packet went out (code and the start of
    // the data); true when one of them is what the current wait_item step waits for.
    bool NoteItems(const PacketRecord& p) {
        PacketConverter list(p);
        for (std::size_t i = 0; i < list.Count(); ++i) {
            const ItemRecord* it = list.Item(i);
            const auto d = it->Data();
            const std::size_t n = std::min<std::size_t>(d.size(), 64);
            seenItems_.push_back({static_cast<std::uint32_t>(it->code),
                                  std::vector<std::uint8_t>(d.begin(), d.begin() + n)});
        }
        if (seenItems_.size() > 4096)
            seenItems_.erase(seenItems_.begin(), seenItems_.end() - 4096);
        return step_ < script_.size() && ItemSeen(script_[step_]);
    }
    bool ItemSeen(const ScriptStep& step) const {
        if (step.kind != ScriptStep::Kind::WaitItem)
            return false;
        for (const auto& [code, data] : seenItems_)
            if (code == step.itemCode && data.size() >= step.dataStart.size() &&
                std::equal(step.dataStart.begin(), step.dataStart.end(), data.begin()))
                return true;
        return false;
    }

    void OnReadable() {
        if (!conn_.WaitReadable(0))
            return; // the peer closed
        framing_.DrainAvailable();
    }

    // Writes what is due; closes when a segment asks for it or a deadline passed.
    void Service(Clock::time_point now) {
        if ((closeAt_ && now >= *closeAt_) ||
            (closeWhenDrained_ && queue_.empty() && now >= *closeWhenDrained_)) {
            conn_.Close();
            return;
        }
        if (nextKeepalive_ && now >= *nextKeepalive_) {
            EnqueueKeepalive();
            *nextKeepalive_ += std::chrono::milliseconds(o_.keepaliveMs);
        }
        if ((waitingFor_ || waitingItem_) && now >= waitDeadline_) {
            Json ev{{"event", "wait_timeout"},
                    {"connection", index_},
                    {"waited_ms", script_[step_].ms}};
            if (waitingFor_)
                ev["exchange_id"] = *waitingFor_;
            else
                ev["item_code"] = script_[step_].itemCode;
            out_ << ev.dump() << std::endl;
            EndWait();
        }
        while (!queue_.empty() && queue_.front().due <= now && conn_.Active()) {
            Segment& s = queue_.front();
            long w = conn_.Send(s.bytes.data() + s.sent, s.bytes.size() - s.sent);
            if (w <= 0)
                break;
            s.sent += static_cast<std::size_t>(w);
            if (s.sent < s.bytes.size())
                break;
            bool close = s.closeAfter;
            if (s.receiveKeyAfter)
                receive_.UseKey(*s.receiveKeyAfter);
            queue_.pop_front();
            if (close) {
                conn_.Close();
                return;
            }
        }
    }

    bool WantsWrite(Clock::time_point now) const {
        return !queue_.empty() && queue_.front().due <= now;
    }

    Clock::time_point NextWake(Clock::time_point now) const {
        Clock::time_point t = now + std::chrono::milliseconds(200);
        if (!queue_.empty())
            t = std::min(t, std::max(queue_.front().due, now));
        if (closeAt_)
            t = std::min(t, *closeAt_);
        if (closeWhenDrained_)
            t = std::min(t, std::max(*closeWhenDrained_, now));
        if (nextKeepalive_)
            t = std::min(t, *nextKeepalive_);
        if (waitingFor_ || waitingItem_)
            t = std::min(t, std::max(waitDeadline_, now));
        return t;
    }

    void HandleCommand(const PacketRecord& packet) {
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

private:
    void Print(const WireEvent& ev) { out_ << WireEventToJson(ev).dump() << std::endl; }

    // Adds the decoded record, data and trace to every item of a reply to an ATA batch.
    void DecorateAtaReply(const PacketRecord& p, Json& j) {
        PacketConverter items(p);
        std::size_t i = 0;
        while (const ItemRecord* it = items.NextItem()) {
            Json decoded = DecodeAtaReply(it->Data());
            if (!decoded.is_null() && i < j["items"].size())
                j["items"][i]["ata"] = std::move(decoded);
            ++i;
        }
    }

    ItemRecord LoginReply(const ItemRecord& login, const Key& key) {
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

    ItemRecord SeansReply(const ItemRecord& request) {
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

    void StartEngagement() {
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

    // Sends the script's packets from the current step on, until a wait for a reply holds it
    // up or the script ends. Pauses move the send time of what follows.
    void PlayScript() {
        while (step_ < script_.size()) {
            const ScriptStep& step = script_[step_];
            if (step.kind == ScriptStep::Kind::Delay) {
                cursor_ = std::max(cursor_, Clock::now()) + std::chrono::milliseconds(step.ms);
                ++step_;
                continue;
            }
            if (step.kind == ScriptStep::Kind::WaitReply) {
                if (lastExchangeId_ && !lastReplied_) {
                    waitingFor_ = *lastExchangeId_;
                    waitDeadline_ =
                        std::max(cursor_, Clock::now()) + std::chrono::milliseconds(step.ms);
                    return;
                }
                ++step_;
                continue;
            }
            if (step.kind == ScriptStep::Kind::WaitItem) {
                if (!ItemSeen(step)) {
                    waitingItem_ = true;
                    waitDeadline_ =
                        std::max(cursor_, Clock::now()) + std::chrono::milliseconds(step.ms);
                    return;
                }
                ++step_;
                continue;
            }
            SendStep(step, Awaited(step_));
            ++step_;
        }
        // A pause at the end of the script still runs before the close.
        if (o_.closeAfterScript && !closeWhenDrained_)
            closeWhenDrained_ = std::max(cursor_, Clock::now());
    }

    // Whether a wait for the reply follows the packet at `at` (pauses between them aside).
    bool Awaited(std::size_t at) const {
        for (std::size_t k = at + 1; k < script_.size(); ++k)
            if (script_[k].kind != ScriptStep::Kind::Delay)
                return script_[k].kind == ScriptStep::Kind::WaitReply;
        return false;
    }

    void SendStep(const ScriptStep& step, bool awaited) {
        PacketRecord p;
        bool keepalive = false;
        std::string error;
        PacketFromJson(step.packet, p, keepalive, error); // checked when the script was read
        if (keepalive) {
            std::uint8_t raw[kHeaderSize];
            p.header.wireLength = 0;
            p.header.Seal(raw);
            EnqueueBytes({raw, raw + kHeaderSize}, {}, false);
            lastExchangeId_.reset();
            return;
        }
        // A reply is recognised by its exchange identifier: a packet that is waited for or
        // that carries ATA records gets a fresh one unless the script chose one.
        if (!step.exchangeIdGiven && (awaited || step.ata))
            p.header.exchangeId = nextExchangeId_++;
        lastExchangeId_ = p.header.exchangeId;
        lastReplied_ = false;
        seenItems_.clear();
        if (step.ata)
            ataBatches_.insert(p.header.exchangeId);
        // The client answers a key packet already under the new key: the key packet itself
        // goes out under the old one, everything after it in both directions under the new.
        std::optional<Key> newKey;
        PacketConverter items(p);
        while (const ItemRecord* it = items.NextItem()) {
            if (it->code == CMD_SET_KEY && it->Data().size() >= kKeyLength) {
                Key k;
                std::copy_n(it->Data().begin(), kKeyLength, k.begin());
                newKey = k;
            }
        }
        Enqueue(p, false, newKey);
    }

    void EnqueueKeepalive() {
        PacketHeader h{};
        std::uint8_t raw[kHeaderSize];
        h.Seal(raw);
        EnqueueBytes({raw, raw + kHeaderSize}, {}, false);
    }

    // Encodes with the current send key and queues the packet. With `newKey`, the packets
    // queued after it are encoded with that key, and the client's packets are decoded with it
    // once this one has been written out.
    void Enqueue(PacketRecord& p, bool closeAfter, std::optional<Key> newKey = std::nullopt) {
        if (!send_.Encode(p)) {
            LogText("a packet could not be encoded");
            return;
        }
        std::uint8_t raw[kHeaderSize];
        p.header.Seal(raw);
        EnqueueBytes({raw, raw + kHeaderSize}, p.body, closeAfter);
        if (newKey) {
            send_.UseKey(*newKey);
            queue_.back().receiveKeyAfter = newKey;
        }
    }

    // One packet's bytes, cut as the delivery options say. Segments of one packet follow each
    // other with the segment delay; nothing else is ever queued between them.
    void EnqueueBytes(std::vector<std::uint8_t> header, const std::vector<std::uint8_t>& body,
                      bool closeAfter) {
        const auto delay = std::chrono::milliseconds(o_.segmentDelayMs);
        cursor_ = std::max(cursor_, Clock::now());
        bool first = true;
        auto push = [&](std::vector<std::uint8_t> bytes) {
            if (!first)
                cursor_ += delay;
            first = false;
            queue_.push_back(Segment{std::move(bytes), 0, cursor_, false});
        };
        if (o_.splitHeader) {
            push({header.begin(), header.begin() + 20});
            push({header.begin() + 20, header.end()});
        } else if (o_.bodySegment > 0 || body.empty()) {
            push(std::move(header));
        } else {
            header.insert(header.end(), body.begin(), body.end());
            push(std::move(header));
        }
        if (!body.empty() && (o_.splitHeader || o_.bodySegment > 0)) {
            std::size_t step =
                o_.bodySegment > 0 ? static_cast<std::size_t>(o_.bodySegment) : body.size();
            for (std::size_t at = 0; at < body.size(); at += step)
                push(
                    {body.begin() + static_cast<std::ptrdiff_t>(at),
                     body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), at + step))});
        }
        queue_.back().closeAfter = closeAfter;
    }

    PosixConnection conn_;
    TransportData receive_; // decodes what the client sends
    TransportData send_;    // encodes what the stand-in sends
    Framing framing_;
    SessionProcessor processor_;
    const ServiceOptions& o_;
    const std::vector<ScriptStep>& script_;
    std::ostream& out_;
    std::ostream& err_;
    int index_;
    std::int32_t ownId_;
    std::deque<Segment> queue_;
    Clock::time_point cursor_;
    std::optional<Clock::time_point> closeAt_;
    std::optional<Clock::time_point> closeWhenDrained_;
    std::optional<Clock::time_point> nextKeepalive_;

    // The script's progress: the next step, the reply waited for and until when, the last
    // packet's exchange identifier and whether its reply came, the ATA batches sent.
    std::size_t step_ = 0;
    std::optional<std::uint32_t> waitingFor_;
    bool waitingItem_ = false; // a wait_item step holds the script
    Clock::time_point waitDeadline_;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> seenItems_;
    std::optional<std::uint32_t> lastExchangeId_;
    bool lastReplied_ = false;
    std::set<std::uint32_t> ataBatches_;
    std::uint32_t nextExchangeId_ = 1;
};

void SessionProcessor::ProcessCommandPacket(PacketRecord& packet, PacketRecord&, PacketRecord&) {
    // Answers are queued by the session itself so that they can be cut into segments and the
    // key can change after the login reply is encoded.
    session_.HandleCommand(packet);
}

} // namespace

int ParseOptions(const std::vector<std::string>& args, ServiceOptions& o, std::ostream& out,
                 std::ostream& err) {
    auto usage = [&](const std::string& why) {
        err << "zelkova-service-sim: " << why << "\n"
            << "Try 'zelkova-service-sim --help'.\n";
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        std::string value;
        bool hasInlineValue = false;
        if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            hasInlineValue = true;
        }
        auto flag = [&](bool& target) {
            if (hasInlineValue)
                return false;
            target = true;
            return true;
        };
        auto next = [&](std::string& v) {
            if (hasInlineValue) {
                v = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            v = args[++i];
            return true;
        };
        auto number = [&](std::int64_t lo, std::int64_t hi, auto& target) {
            std::string v;
            std::int64_t n;
            if (!next(v) || !ToInt(v, n) || n < lo || n > hi)
                return false;
            target = static_cast<std::remove_reference_t<decltype(target)>>(n);
            return true;
        };
        constexpr std::int64_t kI32Min = -2147483648LL, kI32Max = 2147483647LL;
        constexpr std::int64_t kU32Max = 4294967295LL;
        bool ok = true;
        std::string v;
        if (a == "--help" || a == "-h") {
            out << kUsage;
            return 1;
        } else if (a == "--bind") {
            ok = next(o.bind);
        } else if (a == "--port") {
            ok = number(0, 65535, o.port);
        } else if (a == "--port-file") {
            ok = next(o.portFile);
        } else if (a == "--max-connections") {
            ok = number(0, kI32Max, o.maxConnections);
        } else if (a == "--own-id") {
            ok = number(kI32Min, kI32Max, o.firstOwnId);
        } else if (a == "--login-status") {
            ok = number(kI32Min, kU32Max, o.loginStatus);
        } else if (a == "--result-code") {
            ok = number(kI32Min, kI32Max, o.resultCode);
        } else if (a == "--message") {
            ok = next(o.message);
        } else if (a == "--server-version") {
            ok = next(v) && ToVersion(v, o.serverVersion);
        } else if (a == "--dll-version") {
            ok = next(v) && ToVersion(v, o.dllVersion);
        } else if (a == "--values") {
            std::int64_t x, y;
            auto parts = next(v) ? SplitCommas(v) : std::vector<std::string>{};
            ok = parts.size() == 2 && ToInt(parts[0], x) && ToInt(parts[1], y);
            if (ok) {
                o.valueA = static_cast<std::int32_t>(x);
                o.valueB = static_cast<std::int32_t>(y);
            }
        } else if (a == "--session-key") {
            std::vector<std::uint8_t> bytes;
            ok = next(v) && v.size() == 2 * kKeyLength && FromHex(v, bytes);
            if (ok) {
                Key k;
                std::copy(bytes.begin(), bytes.end(), k.begin());
                o.sessionKey = k;
            }
        } else if (a == "--order") {
            ok = number(kI32Min, kI32Max, o.order);
        } else if (a == "--order-model") {
            ok = next(o.orderModel);
        } else if (a == "--order-serial") {
            ok = next(o.orderSerial);
        } else if (a == "--order-made") {
            ok = next(o.orderMade);
        } else if (a == "--short-login-reply") {
            ok = flag(o.shortLoginReply);
        } else if (a == "--seans-status") {
            ok = number(kI32Min, kU32Max, o.seansStatus);
        } else if (a == "--seans-text") {
            ok = next(o.seansText);
        } else if (a == "--seans-id") {
            ok = number(kI32Min, kI32Max, o.seansId);
        } else if (a == "--seans-flags") {
            ok = number(kI32Min, kI32Max, o.seansFlags);
        } else if (a == "--seans-log-path") {
            ok = next(o.seansLogPath);
        } else if (a == "--faults") {
            ok = next(v);
            for (const std::string& f : SplitCommas(v)) {
                if (f != "keepalive" && f != "corrupt-header" && f != "huge-header" &&
                    f != "undecodable-body")
                    return usage("unknown fault " + f);
                o.faults.push_back(f);
            }
        } else if (a == "--script") {
            ok = next(o.scriptFile);
        } else if (a == "--keepalive-ms") {
            ok = number(0, kI32Max, o.keepaliveMs);
        } else if (a == "--split-header") {
            ok = flag(o.splitHeader);
        } else if (a == "--body-segment") {
            ok = number(0, kI32Max, o.bodySegment);
        } else if (a == "--segment-delay-ms") {
            ok = number(0, 60000, o.segmentDelayMs);
        } else if (a == "--close-after-ms") {
            ok = number(0, kI32Max, o.closeAfterMs);
        } else if (a == "--close-after-login") {
            ok = flag(o.closeAfterLogin);
        } else if (a == "--close-after-script") {
            ok = flag(o.closeAfterScript);
        } else {
            return usage("unknown option " + a);
        }
        if (!ok)
            return usage("bad or missing value for " + a);
    }
    return 0;
}

int Serve(const ServiceOptions& o, std::ostream& out, std::ostream& err,
          const std::atomic<bool>& stop) {
    std::vector<ScriptStep> script;
    if (!o.scriptFile.empty() && !ReadScript(o.scriptFile, script, err))
        return 2;
    TcpListener listener;
    std::string error;
    if (!listener.Listen(o.bind, static_cast<std::uint16_t>(o.port), &error)) {
        err << "zelkova-service-sim: " << error << "\n";
        return 1;
    }
    if (!o.portFile.empty() &&
        !WriteFileAtomically(o.portFile, std::to_string(listener.Port()) + "\n", 0644, &error)) {
        err << "zelkova-service-sim: " << error << "\n";
        return 1;
    }
    out << Json{{"event", "listening"}, {"address", o.bind}, {"port", listener.Port()}}.dump()
        << std::endl;

    std::list<std::unique_ptr<Session>> sessions;
    int accepted = 0;
    int ended = 0;
    while (!stop.load()) {
        if (o.maxConnections > 0 && ended >= o.maxConnections)
            break;
        const auto now = Clock::now();
        std::vector<pollfd> fds;
        fds.push_back({listener.Fd(), POLLIN, 0});
        auto wake = now + std::chrono::milliseconds(200);
        for (auto& s : sessions) {
            short events = POLLIN;
            if (s->WantsWrite(now))
                events |= POLLOUT;
            fds.push_back({s->Fd(), events, 0});
            wake = std::min(wake, s->NextWake(now));
        }
        int timeout = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count());
        ::poll(fds.data(), fds.size(), std::max(timeout, 0));

        if (fds[0].revents & POLLIN) {
            int fd = listener.Accept(0);
            if (fd >= 0) {
                ++accepted;
                sessions.push_back(std::make_unique<Session>(
                    fd, accepted, o.firstOwnId + accepted - 1, o, script, out, err));
                out << Json{{"event", "connected"}, {"connection", accepted}}.dump() << std::endl;
            }
        }
        std::size_t k = 1;
        for (auto& s : sessions) {
            if (k < fds.size() && fds[k].fd == s->Fd() &&
                (fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                s->OnReadable();
            ++k;
            if (s->Open())
                s->Service(Clock::now());
        }
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (!(*it)->Open()) {
                out << Json{{"event", "closed"}, {"connection", (*it)->Index()}}.dump()
                    << std::endl;
                ++ended;
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    return 0;
}

} // namespace zkv::sim
