#include "protocol/Framing.h"

#include "protocol/Pack.h"

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

namespace zkv {

namespace {

std::string TimeNow() {
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

} // namespace

std::mutex& Framing::SendLock() {
    static std::mutex lock;
    return lock;
}

Framing::Framing(IConnection& connection, IFramingHost& host, TransportData& transport)
    : connection_(connection), host_(host), transport_(transport) {}

void Framing::ResetReceiveState() {
    bodyMode_ = false;
    skipping_ = false;
    headerHave_ = 0;
    incoming_.reset();
    received_ = 0;
    packetOffset_ = 0;
    stats_ = FramingStats{};
}

void Framing::SetNoReconnect(bool on) {
    if (inStep_)
        restoreNoReconnect_ = on;
    else
        host_.SetNoReconnectFlag(on);
}

// --- sending ---------------------------------------------------------------------------------

bool Framing::WriteAll(const std::uint8_t* data, std::size_t n, bool more) {
    std::size_t done = 0;
    int idle = 0;
    while (done < n) {
        long w = more ? connection_.SendMore(data + done, n - done)
                      : connection_.Send(data + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            idle = 0;
            continue;
        }
        // The send buffer is full: try again once the peer has read some of it. A connection
        // that died meanwhile ends the attempt instead of spinning forever.
        if (!connection_.Active())
            return false;
        if (++idle > 16)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            std::this_thread::yield();
    }
    return true;
}

bool Framing::SendPacket(PacketRecord& packet) {
    if (!connection_.Active())
        return false;
    if (host_.DetailedLogging() && packet.header.kind == REPLY_PACKET)
        host_.LogText(TimeNow() + " Sending reply packet.");

    bool written = true;
    {
        std::lock_guard<std::mutex> lock(SendLock());
        packet.header.senderId = host_.OwnId();
        if (std::int32_t partner = host_.PartnerId(); partner != 0)
            packet.header.partnerId = partner;
        if (!transport_.Encode(packet)) {
            host_.LogText(TimeNow() + " A packet could not be encoded and was not sent.");
            return false;
        }
        std::uint8_t raw[kHeaderSize];
        packet.header.Seal(raw);
        // Every piece but the last says that more follows, so the packet can leave as one.
        written = WriteAll(raw, kHeaderSize, !packet.body.empty());
        for (std::size_t at = 0; written && at < packet.body.size(); at += kChunkSize) {
            std::size_t n = std::min(kChunkSize, packet.body.size() - at);
            written = WriteAll(packet.body.data() + at, n, at + n < packet.body.size());
        }
    }
    // The packet is on its way: the compressor's reset for the next one costs it nothing now.
    CPack::PrepareNextCompress();
    return written;
}

// --- receiving -------------------------------------------------------------------------------

bool Framing::OnDataAvailable() {
    if (inStep_) {
        // A handler below is pumping events; the outer step carries on when it returns.
        rerun_ = true;
        return false;
    }
    inStep_ = true;
    restoreNoReconnect_ = host_.NoReconnectFlag();
    host_.SetNoReconnectFlag(true);
    bool progressed = false;
    try {
        progressed = ReceiveStep();
        while (rerun_) {
            rerun_ = false;
            progressed = ReceiveStep() || progressed;
        }
    } catch (...) {
        inStep_ = false;
        host_.SetNoReconnectFlag(restoreNoReconnect_);
        throw;
    }
    inStep_ = false;
    host_.SetNoReconnectFlag(restoreNoReconnect_);
    return progressed;
}

void Framing::DrainAvailable() {
    while (connection_.Active() && OnDataAvailable()) {
    }
}

bool Framing::ReceiveStep() {
    if (!connection_.Active())
        return false;
    return bodyMode_ ? ReadBody() : ReadHeader();
}

bool Framing::ReadHeader() {
    const std::size_t need = kHeaderSize - headerHave_;
    if (connection_.BytesWaiting() < need)
        return false;
    std::size_t got = connection_.Receive(headerBytes_.data() + headerHave_, need);
    headerHave_ += got;
    stats_.bytesConsumed += got;
    if (headerHave_ < kHeaderSize)
        return got > 0; // a short read: the rest of the header comes with a later step
    headerHave_ = 0;
    const std::size_t offset = stats_.bytesConsumed - kHeaderSize;

    PacketHeader header{};
    bool intact = HeaderIsIntact(headerBytes_.data());
    if (intact)
        header = PacketHeader::Decode(headerBytes_.data());
    // A header announcing more than any packet may carry is not trusted: allocating or waiting
    // for that many bytes would let one damaged header stall or exhaust the client.
    if (intact && header.wireLength > kMaxBodyLength)
        intact = false;
    if (!intact) {
        ++stats_.badHeaders;
        if (observer_)
            observer_->OnBadHeader(offset, headerBytes_.data());
        host_.RestartPingWatchdog();
        return true;
    }
    if (header.wireLength <= 0) {
        ++stats_.keepalives;
        if (observer_)
            observer_->OnKeepalive(offset, header);
        host_.RestartPingWatchdog();
        return true;
    }
    incoming_ = std::make_unique<PacketRecord>();
    incoming_->header = header;
    received_ = 0;
    packetOffset_ = offset;
    bodyMode_ = true;
    // A body past the packet bounds is read through without being kept, so that the packets
    // behind it are found where they start.
    skipping_ = header.wireLength > kMaxWireLength || header.plainLength > kMaxPlainLength;
    if (skipping_) {
        ++stats_.oversized;
        host_.LogText(TimeNow() + " A packet of " + std::to_string(header.wireLength) + " bytes (" +
                      std::to_string(header.plainLength) + " unpacked) is past the bound of " +
                      std::to_string(kMaxPlainLength) + " bytes and is skipped.");
    }
    // The body is read by the next step, never by this one.
    return true;
}

bool Framing::ReadBody() {
    const std::size_t wire = static_cast<std::size_t>(incoming_->header.wireLength);
    const std::size_t want = std::min(wire - received_, connection_.BytesWaiting());
    if (want == 0)
        return false;
    if (skipping_) {
        std::uint8_t scratch[16384];
        std::size_t got = connection_.Receive(scratch, std::min(want, sizeof scratch));
        received_ += got;
        stats_.bytesConsumed += got;
        if (received_ < wire)
            return got > 0;
        incoming_.reset();
        received_ = 0;
        bodyMode_ = false;
        skipping_ = false;
        return true;
    }
    // The buffer grows with what really arrived, not with what the header announced.
    incoming_->body.resize(received_ + want);
    std::size_t got = connection_.Receive(incoming_->body.data() + received_, want);
    received_ += got;
    incoming_->body.resize(received_);
    stats_.bytesConsumed += got;
    if (received_ < wire)
        return got > 0;
    CompleteBody();
    return true;
}

void Framing::CompleteBody() {
    std::unique_ptr<PacketRecord> packet = std::move(incoming_);
    received_ = 0;
    bodyMode_ = false;
    DecodeResult r = transport_.Decode(*packet);
    if (r != DecodeResult::Ok) {
        ++stats_.badBodies;
        if (observer_)
            observer_->OnBadBody(packetOffset_, packet->header, r);
        host_.LogText(TimeNow() + " A packet that could not be decoded was dropped (" +
                      DecodeResultText(r) + ").");
        return;
    }
    ++stats_.packets;
    if (observer_)
        observer_->OnPacket(packetOffset_, *packet);
    if (host_.DetailedLogging() && packet->header.kind != CHAT_PACKET)
        host_.LogText(TimeNow() + " Getting command packet.");
    Route(std::move(packet));
}

void Framing::Route(std::unique_ptr<PacketRecord> packet) {
    if (packet->header.flags & kPacketFlagAta) {
        if (!host_.DeliverAtaPacket(packet)) {
            ++stats_.ataDropped;
            host_.LogText(TimeNow() + " An ATA command packet was dropped: no ATA worker runs.");
        }
        return;
    }
    UniSocket& processor = host_.Processor();
    switch (packet->header.kind) {
    case COMMAND_PACKET: {
        PacketRecord reply;
        PacketRecord followUp;
        processor.ProcessCommandPacket(*packet, reply, followUp);
        if (!reply.body.empty())
            SendPacket(reply);
        if (!followUp.body.empty())
            SendPacket(followUp);
        break;
    }
    case REPLY_PACKET: {
        PacketRecord followUp;
        processor.ProcessReplyPacket(*packet, followUp);
        if (!followUp.body.empty())
            SendPacket(followUp);
        break;
    }
    default:
        break; // ping and chat packets carry nothing for the client
    }
}

} // namespace zkv
