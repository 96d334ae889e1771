#include "agent/UserClientSocket.h"

#include "support/ByteOrder.h"
#include "support/CodePage.h"
#include "support/IniFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>

namespace zkv {

namespace {

void PutText(ByteWriter& w, const std::string& s) {
    w.Bytes(Utf8ToWire(s));
    w.U8(0);
}

std::array<std::int32_t, 4> ReadVersion(std::span<const std::uint8_t> data, std::size_t at) {
    std::array<std::int32_t, 4> v{};
    for (std::size_t i = 0; i < 4; ++i)
        v[i] = GetI32(data.data() + at + 4 * i);
    return v;
}

// Splits a day count since 1899-12-30 (fraction = time of day) into local calendar date and
// time texts.
void FormatDateTime(double dateTime, std::string& date, std::string& time) {
    date.clear();
    time.clear();
    if (!std::isfinite(dateTime) || dateTime < -693593.0 || dateTime > 2958466.0)
        return; // outside the years 1 to 9999
    double days = std::floor(dateTime);
    double fraction = dateTime - days;
    std::int64_t seconds = std::llround(fraction * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        days += 1;
    }
    // Days since 1970-01-01, then a civil date (proleptic Gregorian).
    std::int64_t z = static_cast<std::int64_t>(days) - 25569 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t m = mp + (mp < 10 ? 3 : -9);
    if (m <= 2)
        ++y;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld", static_cast<long long>(y),
                  static_cast<long long>(m), static_cast<long long>(d));
    date = buf;
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    time = buf;
}

bool IsRefusal(std::int32_t code) {
    return code == 1 || code == 16 || code == 18 || code == 20 || code == 23;
}
bool IsAcceptance(std::int32_t code) {
    return code == 0 || code == 15 || code == 17 || code == 19 || code == 21;
}
// Failed statuses whose result code the server has already explained.
bool IsKnownFailure(std::int32_t code) {
    switch (code) {
    case 1:
    case 14:
    case 16:
    case 18:
    case 19:
    case 20:
    case 21:
    case 23:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string FormatVersion(const std::array<std::int32_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + ":" +
           std::to_string(v[3]);
}

std::vector<std::uint8_t> UserInfoTransport::Serialize() const {
    std::vector<std::uint8_t> out;
    out.reserve(TextsLength() + kLoginTailLength);
    ByteWriter w(out);
    PutText(w, userName);
    PutText(w, email);
    PutText(w, password);
    w.I32(countryCode);
    w.I32(orderNumber);
    for (std::int32_t v : version)
        w.I32(v);
    w.Bytes(key);
    w.I32(value80);
    w.U8(role);
    w.I32(value85);
    w.I32(value89);
    w.I32(spare);
    return out;
}

SeansData ReadSeansData(const std::filesystem::path& userSetupIni) {
    IniFile ini(userSetupIni);
    SeansData d;
    if (!ini.Load())
        return d;
    d.orderId = ini.ReadInteger(kSeansSection, "OrderID", 0);
    d.seansId = ini.ReadInteger(kSeansSection, "SeansID", 0);
    d.flags = ini.ReadInteger(kSeansSection, "Flags", 0);
    d.logPath = ini.ReadString(kSeansSection, "LogPath", "");
    return d;
}

bool WriteSeansData(const std::filesystem::path& userSetupIni, const SeansData& data) {
    IniFile ini(userSetupIni);
    if (!ini.Load())
        return false; // never replace a file that exists but could not be read
    ini.WriteInteger(kSeansSection, "OrderID", data.orderId);
    ini.WriteInteger(kSeansSection, "SeansID", data.seansId);
    ini.WriteInteger(kSeansSection, "Flags", data.flags);
    ini.WriteString(kSeansSection, "LogPath", data.logPath);
    return ini.Save();
}

UserClientSocket::UserClientSocket(IUserClientHost& host, const UserInfo& user,
                                   ClientSettings& settings, DataDirectory dataDir,
                                   TransportData& transport)
    : host_(host), user_(user), settings_(settings), dataDir_(std::move(dataDir)),
      transport_(transport) {}

bool UserClientSocket::SendLogin() {
    login_ = UserInfoTransport{};
    login_.userName = user_.userName;
    login_.email = user_.email;
    login_.password = user_.password;
    login_.countryCode = kCountryCodeUnitedStates;
    login_.orderNumber = user_.orderNumber;
    login_.version = {user_.versionMajor, user_.versionMinor, user_.versionRelease,
                      user_.versionBuild};

    auto list = std::make_unique<PacketConverter>();
    ItemRecord item(CMD_LET_ME_CONNECT, kItemFlagWantsReply);
    item.SetData(login_.Serialize());
    list->AddItem(std::move(item));

    PacketRecord packet;
    list->SerializeInto(packet);
    packet.header.senderRole = static_cast<std::uint8_t>(Role::CLIENT);
    packet.header.addresseeRole = static_cast<std::uint8_t>(Role::SERVER);
    packet.header.kind = COMMAND_PACKET;
    SetPendingCommands(std::move(list));
    return host_.SendPacket(packet);
}

void UserClientSocket::ConnectionClosed() {
    SetPartnerId(0);
    technicianAttached_ = false;
    if (services_.scan)
        services_.scan->RequestStop();
    transport_.UseBuiltinKey();
    SetPendingCommands(nullptr);
}

void UserClientSocket::OnReplyLetMeConnect(const ItemRecord& pending, const ItemRecord& reply,
                                           ItemRecord& followUp) {
    const std::size_t P = pending.Data().size();
    auto data = reply.Data();
    // The login command is at least the 97 fixed bytes after three empty texts; anything else
    // pending under this code is not our login.
    if (P < 3 + kLoginTailLength || data.size() < P + kReplyMinimumTail) {
        host_.AddLogText("Wrong server reply.");
        host_.SetNoReconnect(true);
        host_.CloseConnection();
        return;
    }
    const std::size_t L = P - kLoginTailLength;

    host_.AddLogText("Server version is " + FormatVersion(ReadVersion(data, L + kLoginVersionAt)));
    auto dll = ReadVersion(data, P + kReplyDllVersionAt);
    if (dll[0] || dll[1] || dll[2] || dll[3])
        host_.AddLogText("DLL version is " + FormatVersion(dll));
    {
        ByteReader r(data, P);
        std::string message;
        r.FixedText(kReplyMessageWidth, message);
        host_.AddLogTextBold(WireToUtf8(message));
    }
    const std::int32_t result = GetI32(data.data() + P + kReplyResultAt);

    if (reply.code != COMMAND_OK) {
        host_.SetNoReconnect(true);
        host_.CloseConnection();
        if (!IsKnownFailure(result))
            host_.AddLogText("Unknown error.");
        return;
    }
    if (IsRefusal(result)) {
        host_.AddLogText(
            "You cannot be provided with access to our service. Please, contact support.");
        return;
    }
    if (!IsAcceptance(result))
        return;

    // From here on every packet is encoded with the connection's own key, starting with the
    // engagement request built below.
    Key key;
    std::copy_n(data.data() + L + kLoginKeyAt, kKeyLength, key.begin());
    transport_.UseKey(key);

    if (data.size() > P + kReplyOrderAt && data[P + kReplyOrderPresentAt] != 0 &&
        GetI32(data.data() + P + kReplyOrderMarkerAt) == 1) {
        OrderInfo order;
        std::size_t pos = P + kReplyOrderAt;
        if (order.Parse(data, pos)) {
            order_ = std::move(order);
            hasOrder_ = true;
            if (order_.number != 0)
                LogOrder();
        }
    }

    SetServerValues(GetI32(data.data() + L + kLoginValueAAt),
                    GetI32(data.data() + L + kLoginValueBAt));
    SetOwnId(GetI32(data.data() + L + kLoginOwnIdAt));

    BuildEngagementRequest(followUp);

    std::string error;
    if (!SaveRebootFlags(dataDir_.RebootState(), settings_, &error))
        host_.AddLogText("The reboot state could not be saved: " + error);
}

void UserClientSocket::LogOrder() {
    std::string date, time;
    FormatDateTime(order_.registered, date, time);
    host_.AddLogText("Number of the order: " + std::to_string(order_.number));
    host_.AddLogText("Date of registration of the order: " + date);
    host_.AddLogText("Time of registration of the order: " + time);
    host_.AddLogText("Model specified in the order: " + WireToUtf8(order_.model));
    host_.AddLogText("Serial Number specified in the order: " + WireToUtf8(order_.serial));
    host_.AddLogText("Manufacturing date specified in the order: " +
                     WireToUtf8(order_.manufactured));
    host_.AddLogText("<HR>");
    host_.AddLogText("Be shure that you have connected the correct HDD");
    host_.AddLogText("<HR>");
}

void UserClientSocket::BuildEngagementRequest(ItemRecord& followUp) {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    followUp.code = CMD_CREATE_SEANS;
    if (settings_.Automat) {
        SeansData stored;
        if (settings_.WasReboot) {
            settings_.WasReboot = false;
            IniFile ini(dataDir_.UserSetup());
            if (ini.Load())
                stored = ReadSeansData(dataDir_.UserSetup());
            else
                host_.AddLogText("The stored engagement data could not be read.");
        }
        followUp.flags = kItemFlagWantsReply | kItemFlagResume;
        w.I32(OwnId());
        w.I32(stored.orderId);
        w.I32(stored.seansId);
        w.I32(stored.flags);
        w.Bytes(stored.logPath);
        w.U8(0);
    } else {
        followUp.flags = kItemFlagWantsReply;
        w.I32(OwnId());
        settings_.Automat = true;
    }
    followUp.SetData(std::move(out));
}

void UserClientSocket::OnReplyCreateSeans(const ItemRecord&, const ItemRecord& reply, ItemRecord&) {
    ByteReader r(reply.Data());
    std::string text;
    if (!r.ZText(text)) {
        // No terminator: the whole data is the text.
        auto d = reply.Data();
        text.assign(reinterpret_cast<const char*>(d.data()), d.size());
        r = ByteReader(d, d.size());
    }
    if (!reply.Data().empty())
        host_.AddLogTextBold(WireToUtf8(text));

    if (reply.code == COMMAND_OK) {
        SeansData d;
        if (!r.AtEnd()) {
            SeansData parsed;
            if (r.ZText(parsed.logPath) && r.I32(parsed.orderId) && r.I32(parsed.seansId) &&
                r.I32(parsed.flags)) {
                if (parsed.orderId == 0)
                    parsed.seansId = 0;
                d = parsed;
            }
        }
        if (!WriteSeansData(dataDir_.UserSetup(), d))
            host_.AddLogText("The engagement data could not be stored.");
        return;
    }
    host_.AddLogText("Sorry. The server cannot provide this service now. Try to connect later.");
    host_.SetNoReconnect(true);
    host_.StopPingTimer();
    host_.CloseConnection();
}

} // namespace zkv
