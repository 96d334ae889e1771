#include "app/model/SessionRules.h"

#include "app/model/WorkFormRules.h"
#include "support/Deployment.h"

namespace zkv {

bool CheckTimeBase(TimeBase& clock, TimeValues& values) {
    const std::uint64_t frequency = clock.TicksPerSecond();
    const std::uint64_t now = clock.Now();
    if (frequency == 0 || now == 0)
        return false;
    values = ComputeTimeValues(frequency);
    return true;
}

bool SkipLoginDialog(bool wasReboot, bool unattended, const UserInfo& user) {
    if (wasReboot)
        return true;
    return unattended && user.orderNumber >= 0 &&
           LoginDataValid(user.userName, user.email, user.password);
}

std::string LoginVersionLabel(std::int32_t major, std::int32_t minor) {
    return "V " + std::to_string(major) + "." + std::to_string(minor);
}

bool LoginOkEnabled(std::string_view email, std::string_view orderText) {
    std::int32_t order = 0;
    return email.find('@') != std::string_view::npos && ParseInt32(orderText, order) && order >= 0;
}

bool ApplyLoginOk(std::string_view email, std::string_view orderText, UserInfo& user) {
    if (!LoginOkEnabled(email, orderText))
        return false;
    ParseInt32(orderText, user.orderNumber);
    user.userName = kDialogUserName;
    user.email = std::string(email);
    user.password = kDialogPassword;
    user.countryCode = kCountryCodeUnitedStates;
    return true;
}

int ProtocolItemOf(TPROXYVersion kind) {
    switch (kind) {
    case TPROXYVersion::SOCKS_5:
        return 1;
    case TPROXYVersion::HTTP_PROXY:
        return 2;
    default:
        return 0;
    }
}

TPROXYVersion ProxyKindOf(int item, bool resolveThroughProxy) {
    if (item == 1)
        return TPROXYVersion::SOCKS_5;
    if (item == 2)
        return TPROXYVersion::HTTP_PROXY;
    return resolveThroughProxy ? TPROXYVersion::SOCKS_4A : TPROXYVersion::SOCKS_4;
}

std::optional<std::int32_t> ParsePort(std::string_view text) {
    std::int32_t v = 0;
    if (!ParseInt32(text, v) || v < 0 || v > 65535)
        return std::nullopt;
    return v;
}

NetworkEnabling NetworkEnablingOf(bool useProxy, int protocolItem) {
    return {useProxy, useProxy && (protocolItem == 1 || protocolItem == 2)};
}

NetworkOptions DefaultNetworkOptions() {
    NetworkOptions o;
    o.serverHost = kDefaultServerHost;
    o.serverPort = kDefaultServerPort;
    return o;
}

} // namespace zkv
