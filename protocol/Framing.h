// Framing: cuts the connection's byte stream into packets and writes packets into it.
//
// On the wire a packet is its 53-byte header followed by exactly wire-length bytes of encoded
// body, back to back. `SendPacket` encodes and writes one packet under the process-wide send
// lock; `OnDataAvailable` performs one receive step each time the connection reports readable
// data and routes every complete packet: ATA packets to the ATA worker, command and reply
// packets to the processor, whose answers it sends.
//
// Beyond the plain algorithm the framing
//  - starts every connection in header mode (`ResetReceiveState`, called when a connection
//    opens), so a connection lost in the middle of a body cannot poison the next one;
//  - drops a packet whose body cannot be decoded and keeps the connection;
//  - never allocates what a header merely announces: a header whose wire length is past
//    kMaxBodyLength is skipped like a damaged one, and a body buffer grows only with the bytes
//    that really arrived;
//  - reads through, without keeping it, the body of an intact header that announces more than
//    a packet may carry (wire length past kMaxWireLength or plain length past kMaxPlainLength,
//    40 MiB), logs it and stays in step with the stream;
//  - refuses to re-enter itself: a handler that pumps events (a modal screen) holds up the
//    processing of further packets until it returns, and the outer call then carries on.
#pragma once

#include "protocol/Connection.h"
#include "protocol/Packet.h"
#include "protocol/TransportData.h"
#include "protocol/UniSocket.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

namespace zkv {

// What the framing needs from the window that owns the connection.
class IFramingHost {
public:
    virtual ~IFramingHost() = default;

    // A keep-alive (or a skipped header) arrived: stop the ping watchdog and start it again.
    virtual void RestartPingWatchdog() = 0;

    // Where the no-reconnect switch is stored. The framing forces it on while a receive step
    // runs. (Named apart from IUserClientHost::SetNoReconnect, which a window implementing both
    // interfaces routes through Framing::SetNoReconnect; one name for both would make the
    // framing call itself.)
    virtual bool NoReconnectFlag() const = 0;
    virtual void SetNoReconnectFlag(bool on) = 0;

    // The detailed-logging switch (on while a technician is attached).
    virtual bool DetailedLogging() const = 0;
    // Appends one plain line to the user-visible log.
    virtual void LogText(std::string_view text) = 0;

    // Written into the header of every packet sent: the client's own identifier always, the
    // partner identifier when it is not 0.
    virtual std::int32_t OwnId() const = 0;
    virtual std::int32_t PartnerId() const = 0;

    // A decoded packet with the ATA flag. The host takes it (moving it out of `packet`) and
    // returns true when an ATA worker can run it; it returns false, leaving `packet` alone,
    // when there is no worker, and the framing then drops the packet with a log line.
    virtual bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) = 0;

    // The packet processor for command and reply packets.
    virtual UniSocket& Processor() = 0;
};

// Optional observer of everything the receive side sees, for the protocol inspector's output
// form and for tests. `offset` counts the bytes consumed on this connection before the event.
class IFramingObserver {
public:
    virtual ~IFramingObserver() = default;
    virtual void OnKeepalive(std::size_t /*offset*/, const PacketHeader& /*header*/) {}
    // 53 bytes that failed the magic or CRC check, or announced an impossible wire length.
    virtual void OnBadHeader(std::size_t /*offset*/, const std::uint8_t* /*raw53*/) {}
    // A body that could not be decoded; the packet was dropped.
    virtual void OnBadBody(std::size_t /*offset*/, const PacketHeader& /*header*/,
                           DecodeResult /*why*/) {}
    // A complete packet with its plain body, before it is routed.
    virtual void OnPacket(std::size_t /*offset*/, const PacketRecord& /*packet*/) {}
};

// Counters of one connection's receive side, reset with the receive state.
struct FramingStats {
    std::uint64_t packets = 0;       // decoded and routed (or dropped as ATA without worker)
    std::uint64_t keepalives = 0;    // intact headers with wire length 0 or below
    std::uint64_t badHeaders = 0;    // headers skipped: magic, CRC or wire length past the bound
    std::uint64_t badBodies = 0;     // bodies that could not be decoded
    std::uint64_t ataDropped = 0;    // ATA packets dropped for want of a worker
    std::uint64_t oversized = 0;     // bodies read through and skipped: past the packet bounds
    std::uint64_t bytesConsumed = 0; // from the connection since the receive state was reset
};

class Framing {
public:
    // Bodies go out in chunks of at most this many bytes.
    static constexpr std::size_t kChunkSize = 4096;

    Framing(IConnection& connection, IFramingHost& host,
            TransportData& transport = TransportData::Global());
    Framing(const Framing&) = delete;
    Framing& operator=(const Framing&) = delete;

    // Encodes and writes the packet whose plain body and routing fields are set. Afterwards the
    // record's body holds the ciphertext. Returns false when the packet was dropped: the
    // connection is not active, the body could not be encoded, or the connection failed while
    // the packet was being written (the packet is then incomplete on the wire; the connection
    // is no longer usable).
    bool SendPacket(PacketRecord& packet);

    // One receive step: reads a header (only when all 53 bytes are waiting) or the next part of
    // the current body, and processes a packet whose body is complete. Returns true when the
    // step consumed bytes, so that a caller whose socket signals only new arrivals can call it
    // again (see DrainAvailable). While it runs the no-reconnect switch is forced on.
    bool OnDataAvailable();

    // Runs receive steps until one consumes nothing. Use this from a socket whose readable
    // notification fires only when new bytes arrive, or packets that arrived together would
    // wait for the next arrival.
    void DrainAvailable();

    // Header mode, nothing received, counters zeroed. Call when a connection opens.
    void ResetReceiveState();

    // Sets the no-reconnect switch as the rest of the program sees it. While a receive step
    // runs, the switch stays forced on and the value given here is what it returns to at the
    // end of the step: a handler that asks for no reconnect is heard, even if the socket
    // reports the close it caused only after the step.
    void SetNoReconnect(bool on);

    // SendPacket may be called from any thread (see IConnection::SendsFromAnyThread).
    bool SendsFromAnyThread() const { return connection_.SendsFromAnyThread(); }

    bool InBodyMode() const { return bodyMode_; }
    const FramingStats& Stats() const { return stats_; }
    void SetObserver(IFramingObserver* observer) { observer_ = observer; }

    // Serializes every SendPacket of the process, on any connection.
    static std::mutex& SendLock();

private:
    bool ReceiveStep();
    bool ReadHeader();
    bool ReadBody();
    void CompleteBody();
    void Route(std::unique_ptr<PacketRecord> packet);
    bool WriteAll(const std::uint8_t* data, std::size_t n, bool more);

    IConnection& connection_;
    IFramingHost& host_;
    TransportData& transport_;
    IFramingObserver* observer_ = nullptr;

    bool bodyMode_ = false;
    std::array<std::uint8_t, kHeaderSize> headerBytes_{};
    std::size_t headerHave_ = 0;
    std::unique_ptr<PacketRecord> incoming_;
    std::size_t received_ = 0;
    bool skipping_ = false; // the current body is past the bounds: read through, not kept
    std::size_t packetOffset_ = 0;
    FramingStats stats_;

    // Receive-step nesting and the no-reconnect value to restore at its end.
    bool inStep_ = false;
    bool rerun_ = false;
    bool restoreNoReconnect_ = false;
};

} // namespace zkv
