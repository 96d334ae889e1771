// UserClientSocket: the client's protocol engine.
//
// This file holds the login (CMD_LET_ME_CONNECT) and the engagement set-up (CMD_CREATE_SEANS):
// the request bodies, the reply handlers, the log lines they write, the identifiers they keep
// and the engagement data kept in UserSetup.ini between a reboot and the next login. The
// technician's commands get their handlers in this class too.
//
// Everything that touches the window (log lines, message boxes, the connection, the ping
// timer) goes through IUserClientHost.
#pragma once

#include "agent/MasterClientSocket.h"
#include "agent/TechnicianServices.h"
#include "protocol/TransportData.h"
#include "support/ClientSettings.h"
#include "support/Deployment.h"
#include "support/OrderInfo.h"
#include "support/UserData.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

// What the protocol engine needs from the window that owns the connection.
class IUserClientHost {
public:
    virtual ~IUserClientHost() = default;
    // One line of the user-visible log, plain or bold. The text may hold HTML ("<HR>").
    virtual void AddLogText(std::string_view text) = 0;
    virtual void AddLogTextBold(std::string_view text) = 0;
    // A modal message box with an OK button.
    virtual void ShowMessage(std::string_view text) = 0;
    // The no-reconnect switch. The window implements it with Framing::SetNoReconnect so that a
    // request made while a packet is processed outlives the receive step.
    virtual void SetNoReconnect(bool on) = 0;
    // Closes the connection (its disconnect event follows).
    virtual void CloseConnection() = 0;
    virtual void StopPingTimer() = 0;
    // Sends one packet (Framing::SendPacket). False when it was dropped.
    virtual bool SendPacket(PacketRecord& packet) = 0;
    // The activity panel that shows the user a technician is working on the drive.
    virtual void ExpandActivityPanel(int /*height*/) {}
    virtual void CollapseActivityPanel() {}
    // The technician-attached and detailed-logging switches, which follow the technician.
    virtual void SetTechnicianAttached(bool /*on*/) {}
};

// The login record, as the last login command carried it.
struct UserInfoTransport {
    std::string userName;
    std::string email;
    std::string password;
    std::int32_t countryCode = kCountryCodeUnitedStates;
    std::int32_t orderNumber = 0;
    std::array<std::int32_t, 4> version{}; // major, minor, release, build
    Key key{};                             // sent as zeros; the server fills in its key
    std::int32_t value80 = 0;
    std::uint8_t role = static_cast<std::uint8_t>(Role::CLIENT);
    std::int32_t value85 = 0;
    std::int32_t value89 = 0;
    std::int32_t spare = 0;

    // L: the three texts with their terminating zero bytes.
    std::size_t TextsLength() const { return userName.size() + email.size() + password.size() + 3; }
    // The CMD_LET_ME_CONNECT item data: L + 97 bytes.
    std::vector<std::uint8_t> Serialize() const;
};

// Offsets inside the login data, from L (the length of the three texts) ...
inline constexpr std::size_t kLoginFixedValueAt = 0;
inline constexpr std::size_t kLoginOrderAt = 4;
inline constexpr std::size_t kLoginVersionAt = 8;
inline constexpr std::size_t kLoginKeyAt = 24;
inline constexpr std::size_t kLoginValueAAt = 80;
inline constexpr std::size_t kLoginRoleAt = 84;
inline constexpr std::size_t kLoginOwnIdAt = 85;
inline constexpr std::size_t kLoginValueBAt = 89;
inline constexpr std::size_t kLoginTailLength = 97; // data length = L + 97
// ... and inside the login reply, from P (the data length of the login command).
inline constexpr std::size_t kReplyMessageWidth = 239;
inline constexpr std::size_t kReplyDllVersionAt = 239;
inline constexpr std::size_t kReplyResultAt = 255;
inline constexpr std::size_t kReplyOrderPresentAt = 259;
inline constexpr std::size_t kReplyOrderMarkerAt = 260;
inline constexpr std::size_t kReplyOrderAt = 264;
inline constexpr std::size_t kReplyMinimumTail = 260; // a reply shorter than P + 260 is refused

inline constexpr std::uint32_t kItemFlagResume = 0x20; // engagement request carries stored data
inline constexpr const char* kSeansSection = "SEANS DATA";

// The engagement data of "SEANS DATA" in UserSetup.ini.
struct SeansData {
    std::int32_t orderId = 0;
    std::int32_t seansId = 0;
    std::int32_t flags = 0;
    std::string logPath;
};
SeansData ReadSeansData(const std::filesystem::path& userSetupIni);
bool WriteSeansData(const std::filesystem::path& userSetupIni, const SeansData& data);

// "major.minor.release:build".
std::string FormatVersion(const std::array<std::int32_t, 4>& v);

class ATAThread;
class IMainThread;
class SharedFlags;

// The height of the activity panel while a technician is attached.
inline constexpr int kActivityPanelHeight = 88;
// How long a reset waits for a running ATA batch or scan to stop.
inline constexpr std::chrono::milliseconds kResetWaitLimit{45000};

class UserClientSocket : public MasterClientSocket, public ITechnicianLink {
public:
    // `user` and `settings` are the program-wide records: the login reads the user's data as
    // they are at that moment, and the engagement request updates WasReboot and Automat and
    // stores them in the data directory's reboot-state file. `transport` is the cipher whose key
    // the login reply switches and a disconnect restores.
    UserClientSocket(IUserClientHost& host, const UserInfo& user, ClientSettings& settings,
                     DataDirectory dataDir, TransportData& transport = TransportData::Global());

    // Builds the login command from the user's data, makes it the pending command and sends it.
    // Called when the connection opens. Returns what SendPacket returned.
    bool SendLogin();

    // The connection closed: the partner identifier returns to 0, the cipher to the built-in
    // key, and no command is pending any more. Called from the window's disconnect event.
    void ConnectionClosed() override;

    // The order record of the last login reply that carried one.
    const OrderInfo& Order() const { return order_; }
    bool HasOrder() const { return hasOrder_; }
    const UserInfoTransport& LoginRecord() const { return login_; }

    void LogText(std::string_view text) override { host_.AddLogText(text); }
    void LogBoldText(std::string_view text) override { host_.AddLogTextBold(text); }

    // --- the technician's commands (TechnicianCommands.cpp) ---
    // What the engine hands work on to; absent services make their commands answer 0x1003.
    void SetServices(const TechnicianServices& services) { services_ = services; }
    const TechnicianServices& Services() const { return services_; }
    // The ATA worker a reset stops first (may be null).
    void SetAtaWorker(ATAThread* worker) { ataWorker_ = worker; }
    // The main thread whose events a reset handles while it waits (default: MainThread()).
    void SetMainThread(IMainThread* main) { main_ = main; }
    // The shared flags (default: the program-wide ones).
    void SetSharedFlags(SharedFlags* flags) { flags_ = flags; }
    void SetResetWaitLimit(std::chrono::milliseconds limit) { resetWaitLimit_ = limit; }

    // ITechnicianLink
    void ApplyReplyRouting() override;
    bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) override;
    bool SendToTechnicianAt(CommandCode code, std::span<const std::uint8_t> data,
                            std::int32_t destination) override;
    bool TechnicianAttached() const override { return technicianAttached_; }
    std::int32_t CurrentSender() const override;

    void OnCmdShowLog(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdDisconnect(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdStartChat(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdCloseChat(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdAtaGetStatus(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdAtaReset(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdGetIdeList(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdEnableIde(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdDisableIde(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdReboot(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdShutdown(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdScanSurface(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdDisplayMessage(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdComportGetList(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdComportSetParam(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdComportDoCommand(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdComportSetBaud(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdComportWriteBuffer(const ItemRecord& command, ItemRecord& reply,
                                 ItemRecord&) override;
    void OnCmdComportWriteData(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdSetKey(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;

    void OnReplyLetMeConnect(const ItemRecord& pending, const ItemRecord& reply,
                             ItemRecord& followUp) override;
    void OnReplyCreateSeans(const ItemRecord& pending, const ItemRecord& reply,
                            ItemRecord& followUp) override;

protected:
    IUserClientHost& host_;
    const UserInfo& user_;
    ClientSettings& settings_;
    DataDirectory dataDir_;
    TransportData& transport_;

private:
    void BuildEngagementRequest(ItemRecord& followUp);
    void ComPort(const ItemRecord& command, ItemRecord& reply);
    SharedFlags& Flags() const;
    IMainThread& Main() const;
    TControllerInfo* Device() const;
    // Restart or power-off; the run-once entry and WasReboot follow a request logind took.
    bool PowerRequest(bool reboot, std::string& why);
    // False when the running operation did not stop within the limit.
    bool WaitForRunningOperation();

    TechnicianServices services_;
    ATAThread* ataWorker_ = nullptr;
    IMainThread* main_ = nullptr;
    SharedFlags* flags_ = nullptr;
    std::chrono::milliseconds resetWaitLimit_ = kResetWaitLimit;
    bool technicianAttached_ = false;
    void LogOrder();

    UserInfoTransport login_;
    OrderInfo order_;
    bool hasOrder_ = false;
};

} // namespace zkv
