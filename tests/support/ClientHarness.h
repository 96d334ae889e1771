// A Qt-free client for tests: the real framing and protocol engine over a POSIX connection,
// with a host that records what the window would show.
#pragma once

#include "agent/UserClientSocket.h"
#include "platform/PosixConnection.h"
#include "protocol/Framing.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zkv::test {

// A fresh directory under the system's temporary directory, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

class ClientHarness : public IFramingHost, public IUserClientHost {
public:
    explicit ClientHarness(std::filesystem::path dataDir);
    ~ClientHarness() override;

    // Connects to 127.0.0.1:port, resets the receive state and sends the login, as the
    // window's connect event does.
    bool Connect(std::uint16_t port);
    // Adopts one end of a socketpair (or any connected descriptor) as the connection.
    void Adopt(int fd);
    // Processes what arrives until `done` is true, the connection ends or `timeout` passes.
    // Returns done().
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Processes for the given time (or until the connection ends).
    void PumpFor(std::chrono::milliseconds duration);
    // True if some log line contains `text`.
    bool Logged(std::string_view text) const;
    std::size_t CountLogged(std::string_view text) const;

    // IFramingHost
    void RestartPingWatchdog() override { ++pingRestarts; }
    bool NoReconnectFlag() const override { return noReconnect; }
    void SetNoReconnectFlag(bool on) override { noReconnect = on; }
    bool DetailedLogging() const override { return detailedLogging; }
    void LogText(std::string_view text) override { log.emplace_back(text); }
    std::int32_t OwnId() const override { return socket->OwnId(); }
    std::int32_t PartnerId() const override { return socket->PartnerId(); }
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) override;
    UniSocket& Processor() override { return *socket; }

    // IUserClientHost
    void AddLogText(std::string_view text) override { log.emplace_back(text); }
    void AddLogTextBold(std::string_view text) override {
        log.push_back("<b>" + std::string(text) + "</b>");
    }
    void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
    void SetNoReconnect(bool on) override { framing->SetNoReconnect(on); }
    void CloseConnection() override;
    void StopPingTimer() override { ++pingStops; }
    bool SendPacket(PacketRecord& packet) override { return framing->SendPacket(packet); }

    DataDirectory data;
    UserInfo user;
    ClientSettings settings;
    TransportData transport;
    PosixConnection connection;
    std::unique_ptr<UserClientSocket> socket;
    std::unique_ptr<Framing> framing;

    std::vector<std::string> log;
    std::vector<std::string> messages;
    bool noReconnect = false;
    bool detailedLogging = false;
    int pingRestarts = 0;
    int pingStops = 0;
    int closes = 0;
    // The disconnect events seen, with the no-reconnect switch as it was at each.
    std::vector<bool> disconnects;
    bool acceptAta = false;
    std::vector<std::unique_ptr<PacketRecord>> ataPackets;

private:
    void NoticeDisconnect();
    bool wasActive_ = false;
};

} // namespace zkv::test
