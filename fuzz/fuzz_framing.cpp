// Fuzzes the receive side: framing, decoding, the processor and the login and engagement reply
// handlers. The input's first byte chooses between a raw byte stream and a well-formed packet
// whose plain body is the rest of the input (so the handlers see arbitrary item data behind a
// valid header, CRC and cipher).
#include "agent/UserClientSocket.h"
#include "protocol/Framing.h"
#include "support/UserData.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

using namespace zkv;

class MemoryConnection : public IConnection {
public:
    std::vector<std::uint8_t> in;
    std::size_t pos = 0;
    std::size_t arrived = 0; // bytes the "network" has delivered so far
    bool Active() const override { return true; }
    std::size_t BytesWaiting() const override { return arrived - pos; }
    std::size_t Receive(std::uint8_t* d, std::size_t n) override {
        n = std::min(n, BytesWaiting());
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(pos), n, d);
        pos += n;
        return n;
    }
    long Send(const std::uint8_t*, std::size_t n) override { return static_cast<long>(n); }
};

class Host : public IFramingHost, public IUserClientHost {
public:
    Framing* framing = nullptr;
    UserClientSocket* socket = nullptr;
    bool noReconnect = false;
    void RestartPingWatchdog() override {}
    bool NoReconnectFlag() const override { return noReconnect; }
    void SetNoReconnectFlag(bool on) override { noReconnect = on; }
    bool DetailedLogging() const override { return true; }
    void LogText(std::string_view) override {}
    std::int32_t OwnId() const override { return socket->OwnId(); }
    std::int32_t PartnerId() const override { return socket->PartnerId(); }
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>&) override { return false; }
    UniSocket& Processor() override { return *socket; }
    void AddLogText(std::string_view) override {}
    void AddLogTextBold(std::string_view) override {}
    void ShowMessage(std::string_view) override {}
    void SetNoReconnect(bool on) override { framing->SetNoReconnect(on); }
    void CloseConnection() override {}
    void StopPingTimer() override {}
    bool SendPacket(PacketRecord& p) override { return framing->SendPacket(p); }
};

const std::filesystem::path& DataDir() {
    static std::filesystem::path dir = [] {
        // In memory when possible: the handlers fsync what they store.
        char tmpl[] = "/dev/shm/zkv-fuzz-XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        static std::filesystem::path made = d ? d : "";
        if (d) // the handlers store engagement data; nothing may stay behind
            std::atexit([] {
                std::error_code ec;
                std::filesystem::remove_all(made, ec);
            });
        return std::filesystem::path(d ? d : "/tmp");
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    TransportData transport;
    MemoryConnection conn;
    Host host;
    UserInfo user;
    user.userName = "NoName";
    user.email = "a@b";
    user.password = "482916";
    ClientSettings settings;
    UserClientSocket socket(host, user, settings, DataDirectory{DataDir()}, transport);
    Framing framing(conn, host, transport);
    host.framing = &framing;
    host.socket = &socket;
    const std::size_t chunk = 1 + data[1] % 64;

    if (data[0] & 1) {
        socket.SendLogin(); // so that a reply pairs with a pending login
        PacketRecord p;
        p.body.assign(data + 2, data + size);
        p.header.plainLength = static_cast<std::int32_t>(p.body.size());
        p.header.kind = (data[0] >> 1) & 3;
        p.header.flags = (data[0] & 0x10) ? kPacketFlagAta : 0;
        if (p.body.empty() || !transport.Encode(p))
            return 0;
        std::uint8_t raw[kHeaderSize];
        p.header.Seal(raw);
        conn.in.assign(raw, raw + kHeaderSize);
        conn.in.insert(conn.in.end(), p.body.begin(), p.body.end());
    } else {
        conn.in.assign(data + 2, data + size);
    }
    // The bytes arrive `chunk` at a time, each arrival followed by a drain; at the end the
    // framing is drained until it consumes nothing more.
    while (conn.arrived < conn.in.size()) {
        conn.arrived = std::min(conn.in.size(), conn.arrived + chunk);
        framing.DrainAvailable();
    }
    framing.DrainAvailable();
    return 0;
}
