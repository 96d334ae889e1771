#include "tests/support/ClientHarness.h"

#include <cstdlib>
#include <random>
#include <unistd.h>

namespace zkv::test {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("zkv-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(path_, ec))
            break;
    }
}

TempDir::~TempDir() {
    if (std::getenv("ZKV_KEEP_TEST_DIRS"))
        return; // left for a look after a failure
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ClientHarness::ClientHarness(std::filesystem::path dataDir) {
    data.dir = std::move(dataDir);
    user.userName = "NoName";
    user.email = "user@example.org";
    user.password = "482916";
    user.orderNumber = 17;
    user.versionMajor = 4;
    user.versionMinor = 2;
    user.versionRelease = 22;
    user.versionBuild = 128;
    socket = std::make_unique<UserClientSocket>(*this, user, settings, data, transport);
    framing = std::make_unique<Framing>(connection, *this, transport);
}

ClientHarness::~ClientHarness() = default;

bool ClientHarness::Connect(std::uint16_t port) {
    std::string error;
    if (!connection.ConnectTcp("127.0.0.1", port, &error))
        return false;
    wasActive_ = true;
    framing->ResetReceiveState();
    socket->SendLogin();
    return true;
}

void ClientHarness::Adopt(int fd) {
    connection.Adopt(fd);
    wasActive_ = true;
    framing->ResetReceiveState();
}

bool ClientHarness::DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) {
    if (!acceptAta)
        return false;
    ataPackets.push_back(std::move(packet));
    return true;
}

void ClientHarness::CloseConnection() {
    ++closes;
    connection.Close();
}

void ClientHarness::NoticeDisconnect() {
    if (wasActive_ && !connection.Active()) {
        wasActive_ = false;
        disconnects.push_back(noReconnect);
        socket->ConnectionClosed();
    }
}

bool ClientHarness::PumpUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        NoticeDisconnect();
        if (!connection.Active() || std::chrono::steady_clock::now() >= end)
            return done();
        if (connection.WaitReadable(10))
            framing->DrainAvailable();
        NoticeDisconnect();
    }
    return true;
}

void ClientHarness::PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

bool ClientHarness::Logged(std::string_view text) const {
    return CountLogged(text) > 0;
}

std::size_t ClientHarness::CountLogged(std::string_view text) const {
    std::size_t n = 0;
    for (const auto& l : log)
        if (l.find(text) != std::string::npos)
            ++n;
    return n;
}

} // namespace zkv::test
