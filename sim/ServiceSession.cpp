// A connection of the service stand-in: what arrives is read through the framing and printed in
// the inspector's decode form; what goes out is encoded with the current key, cut into segments
// as the delivery options say and written when due; keep-alives and the closing deadlines.
#include "sim/ServiceSession.h"

#include <algorithm>

namespace zkv::sim {

ServiceSession::ServiceSession(int fd, int index, std::int32_t ownId, const ServiceOptions& o,
                               const std::vector<ScriptStep>& script, std::ostream& out,
                               std::ostream& err)
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

// IFramingObserver: every event in the inspector's decode form.
void ServiceSession::OnKeepalive(std::size_t offset, const PacketHeader& h) {
    WireEvent ev;
    ev.type = WireEvent::Type::Keepalive;
    ev.offset = offset;
    ev.packet.header = h;
    Print(ev);
}

void ServiceSession::OnBadHeader(std::size_t offset, const std::uint8_t*) {
    WireEvent ev;
    ev.type = WireEvent::Type::BadHeader;
    ev.offset = offset;
    Print(ev);
}

void ServiceSession::OnBadBody(std::size_t offset, const PacketHeader& h, DecodeResult why) {
    WireEvent ev;
    ev.type = WireEvent::Type::BadBody;
    ev.offset = offset;
    ev.packet.header = h;
    ev.error = DecodeResultText(why);
    Print(ev);
}

void ServiceSession::OnPacket(std::size_t offset, const PacketRecord& p) {
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

void ServiceSession::OnReadable() {
    if (!conn_.WaitReadable(0))
        return; // the peer closed
    framing_.DrainAvailable();
}

// Writes what is due; closes when a segment asks for it or a deadline passed.
void ServiceSession::Service(Clock::time_point now) {
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
        Json ev{
            {"event", "wait_timeout"}, {"connection", index_}, {"waited_ms", script_[step_].ms}};
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

ServiceSession::Clock::time_point ServiceSession::NextWake(Clock::time_point now) const {
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

void ServiceSession::EnqueueKeepalive() {
    PacketHeader h{};
    std::uint8_t raw[kHeaderSize];
    h.Seal(raw);
    EnqueueBytes({raw, raw + kHeaderSize}, {}, false);
}

// Encodes with the current send key and queues the packet. With `newKey`, the packets
// queued after it are encoded with that key, and the client's packets are decoded with it
// once this one has been written out.
void ServiceSession::Enqueue(PacketRecord& p, bool closeAfter, std::optional<Key> newKey) {
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
void ServiceSession::EnqueueBytes(std::vector<std::uint8_t> header,
                                  const std::vector<std::uint8_t>& body, bool closeAfter) {
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
            push({body.begin() + static_cast<std::ptrdiff_t>(at),
                  body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), at + step))});
    }
    queue_.back().closeAfter = closeAfter;
}

void ServiceSession::CommandProcessor::ProcessCommandPacket(PacketRecord& packet, PacketRecord&,
                                                            PacketRecord&) {
    // Answers are queued by the session itself so that they can be cut into segments and the
    // key can change after the login reply is encoded.
    session_.HandleCommand(packet);
}

} // namespace zkv::sim
