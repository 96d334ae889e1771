// The service stand-in playing a technician script: pauses move the send time of what follows,
// waits hold the script until the client's reply or item comes or the time runs out, packets
// get their exchange identifiers and may change the key; and the client's replies to ATA
// batches are printed with their records, data and traces decoded.
#include "sim/ServiceSession.h"

#include <algorithm>

namespace zkv::sim {

// Sends the script's packets from the current step on, until a wait for a reply holds it
// up or the script ends. Pauses move the send time of what follows.
void ServiceSession::PlayScript() {
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

// The wait the script is held by is over (its answer came, or its time ran out).
void ServiceSession::EndWait() {
    waitingFor_.reset();
    waitingItem_ = false;
    ++step_;
    PlayScript();
}

// Remembers the client's items since the last script packet went out (code and the start of
// the data); true when one of them is what the current wait_item step waits for.
bool ServiceSession::NoteItems(const PacketRecord& p) {
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

bool ServiceSession::ItemSeen(const ScriptStep& step) const {
    if (step.kind != ScriptStep::Kind::WaitItem)
        return false;
    for (const auto& [code, data] : seenItems_)
        if (code == step.itemCode && data.size() >= step.dataStart.size() &&
            std::equal(step.dataStart.begin(), step.dataStart.end(), data.begin()))
            return true;
    return false;
}

// Whether a wait for the reply follows the packet at `at` (pauses between them aside).
bool ServiceSession::Awaited(std::size_t at) const {
    for (std::size_t k = at + 1; k < script_.size(); ++k)
        if (script_[k].kind != ScriptStep::Kind::Delay)
            return script_[k].kind == ScriptStep::Kind::WaitReply;
    return false;
}

void ServiceSession::SendStep(const ScriptStep& step, bool awaited) {
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

// Adds the decoded record, data and trace to every item of a reply to an ATA batch.
void ServiceSession::DecorateAtaReply(const PacketRecord& p, Json& j) {
    PacketConverter items(p);
    std::size_t i = 0;
    while (const ItemRecord* it = items.NextItem()) {
        Json decoded = DecodeAtaReply(it->Data());
        if (!decoded.is_null() && i < j["items"].size())
            j["items"][i]["ata"] = std::move(decoded);
        ++i;
    }
}

} // namespace zkv::sim
