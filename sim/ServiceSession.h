// One connection of the service stand-in, from accept to close. Internal to the stand-in:
// Serve (sim/ServiceSim.cpp) owns the sessions and polls them; the members are spread by
// subject:
//   ServiceSession.cpp  the connection: reading through the framing, printing what arrives,
//                       queueing, cutting and writing what goes out, keep-alives, closing
//   ServiceReplies.cpp  the items the stand-in answers itself: the login and the engagement
//                       request, and the fault packets sent once the engagement is open
//   ServiceScript.cpp   playing the technician script: its pauses, waits and packets, and the
//                       decoded account of the client's replies to ATA batches
#pragma once

#include "sim/ServiceSim.h"
#include "sim/TechnicianScript.h"

#include "platform/PosixConnection.h"
#include "protocol/Framing.h"
#include "protocol/PacketJson.h"
#include "protocol/TransportData.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zkv::sim {

class ServiceSession : public IFramingHost, public IFramingObserver {
public:
    using Clock = std::chrono::steady_clock;

    ServiceSession(int fd, int index, std::int32_t ownId, const ServiceOptions& o,
                   const std::vector<ScriptStep>& script, std::ostream& out, std::ostream& err);

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
    void OnKeepalive(std::size_t offset, const PacketHeader& h) override;
    void OnBadHeader(std::size_t offset, const std::uint8_t*) override;
    void OnBadBody(std::size_t offset, const PacketHeader& h, DecodeResult why) override;
    void OnPacket(std::size_t offset, const PacketRecord& p) override;

    void OnReadable();
    // Writes what is due; closes when a segment asks for it or a deadline passed.
    void Service(Clock::time_point now);
    bool WantsWrite(Clock::time_point now) const {
        return !queue_.empty() && queue_.front().due <= now;
    }
    Clock::time_point NextWake(Clock::time_point now) const;

    // Answers the login and the engagement request of a command packet from the client.
    void HandleCommand(const PacketRecord& packet);

private:
    struct Segment {
        std::vector<std::uint8_t> bytes;
        std::size_t sent = 0;
        Clock::time_point due;
        bool closeAfter = false;
        // Once this segment is written, what the client sends is decoded with this key.
        std::optional<Key> receiveKeyAfter;
    };

    // The stand-in's packet processor: answers the login and the engagement request itself and
    // leaves everything else unanswered (it is printed, which is what the tests look at).
    class CommandProcessor : public UniSocket {
    public:
        explicit CommandProcessor(ServiceSession& s) : session_(s) { SetOwnRole(Role::SERVER); }
        void ProcessCommandPacket(PacketRecord& packet, PacketRecord& reply,
                                  PacketRecord& followUp) override;
        void ProcessReplyPacket(PacketRecord&, PacketRecord&) override {}

    private:
        ServiceSession& session_;
    };

    void Print(const WireEvent& ev) { out_ << WireEventToJson(ev).dump() << std::endl; }

    // ServiceReplies.cpp
    ItemRecord LoginReply(const ItemRecord& login, const Key& key);
    ItemRecord SeansReply(const ItemRecord& request);
    void StartEngagement();

    // ServiceScript.cpp
    void PlayScript();
    void EndWait();
    bool NoteItems(const PacketRecord& p);
    bool ItemSeen(const ScriptStep& step) const;
    bool Awaited(std::size_t at) const;
    void SendStep(const ScriptStep& step, bool awaited);
    void DecorateAtaReply(const PacketRecord& p, Json& j);

    // ServiceSession.cpp
    void EnqueueKeepalive();
    void Enqueue(PacketRecord& p, bool closeAfter, std::optional<Key> newKey = std::nullopt);
    void EnqueueBytes(std::vector<std::uint8_t> header, const std::vector<std::uint8_t>& body,
                      bool closeAfter);

    PosixConnection conn_;
    TransportData receive_; // decodes what the client sends
    TransportData send_;    // encodes what the stand-in sends
    Framing framing_;
    CommandProcessor processor_;
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

} // namespace zkv::sim
