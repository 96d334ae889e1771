#include "support/UserData.h"

#include "support/AtomicFile.h"
#include "support/Deployment.h"

#include <limits>
#include <vector>

namespace zkv {

const char* ProxyVersionName(TPROXYVersion v) {
    switch (v) {
    case TPROXYVersion::SOCKS_4:
        return "SOCKS_4";
    case TPROXYVersion::SOCKS_4A:
        return "SOCKS_4A";
    case TPROXYVersion::SOCKS_5:
        return "SOCKS_5";
    case TPROXYVersion::HTTP_PROXY:
        return "HTTP_PROXY";
    }
    return "SOCKS_4";
}

bool ParseInt32(std::string_view text, std::int32_t& out) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

void ApplyUserDataDefaults(UserInfo& user, ProxySetting& proxy) {
    user.userName.clear();
    user.email.clear();
    user.countryCode = kCountryCodeUnitedStates;
    user.orderNumber = 0;
    proxy.useProxy = false;
    proxy.resolveHostThroughProxy = false;
    proxy.serverHost = kDefaultServerHost;
    proxy.proxyHost.clear();
    proxy.proxyUserName.clear();
    proxy.proxyPassword.clear();
    proxy.serverPort = kDefaultServerPort;
    proxy.proxyPort = 0;
    proxy.proxyKind = TPROXYVersion::SOCKS_4;
}

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

// Reads the fields in file order, stopping at the first line that is missing or does not
// convert. What was read before the failure stays assigned.
bool ReadFields(const std::vector<std::string>& lines, UserInfo& user, ProxySetting& proxy) {
    auto line = [&](std::size_t n) -> const std::string* {
        return n <= lines.size() ? &lines[n - 1] : nullptr;
    };
    auto number = [&](std::size_t n, std::int32_t& out) {
        const std::string* l = line(n);
        return l && ParseInt32(*l, out);
    };
    std::int32_t v = 0;
    if (!line(1))
        return false;
    user.userName = *line(1);
    if (!line(2))
        return false;
    user.email = *line(2);
    if (!number(3, v))
        return false;
    user.password = std::to_string(v);
    if (!number(4, user.countryCode) || !number(5, user.orderNumber))
        return false;
    if (!number(6, v))
        return false;
    proxy.useProxy = v != 0;
    if (!number(7, v))
        return false;
    proxy.resolveHostThroughProxy = v != 0;
    for (std::size_t n = 8; n <= 11; ++n)
        if (!line(n))
            return false;
    proxy.serverHost = *line(8);
    proxy.proxyHost = *line(9);
    proxy.proxyUserName = *line(10);
    proxy.proxyPassword = *line(11);
    if (!number(12, proxy.serverPort) || !number(13, proxy.proxyPort))
        return false;
    const std::string* kind = line(14);
    if (!kind)
        return false;
    for (TPROXYVersion k : {TPROXYVersion::SOCKS_4, TPROXYVersion::SOCKS_4A, TPROXYVersion::SOCKS_5,
                            TPROXYVersion::HTTP_PROXY}) {
        if (*kind == ProxyVersionName(k)) {
            proxy.proxyKind = k;
            break;
        }
    }
    return true;
}

std::string Field(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '\r' && c != '\n')
            out += c;
    return out;
}

} // namespace

bool LoadUserData(const std::filesystem::path& file, UserInfo& user, ProxySetting& proxy) {
    std::string text;
    if (ReadWholeFile(file, text) && ReadFields(SplitLines(text), user, proxy))
        return true;
    ApplyUserDataDefaults(user, proxy);
    return false;
}

std::string UserDataText(const UserInfo& user, const ProxySetting& proxy) {
    const std::string fields[14] = {
        Field(user.userName),
        Field(user.email),
        Field(user.password),
        std::to_string(user.countryCode),
        std::to_string(user.orderNumber),
        proxy.useProxy ? "1" : "0",
        proxy.resolveHostThroughProxy ? "1" : "0",
        Field(proxy.serverHost),
        Field(proxy.proxyHost),
        Field(proxy.proxyUserName),
        Field(proxy.proxyPassword),
        std::to_string(proxy.serverPort),
        std::to_string(proxy.proxyPort),
        ProxyVersionName(proxy.proxyKind),
    };
    std::string out;
    for (const std::string& f : fields)
        out += f + "\r\n";
    return out;
}

bool SaveUserData(const std::filesystem::path& file, const UserInfo& user,
                  const ProxySetting& proxy, std::string* error) {
    return WriteFileAtomically(file, UserDataText(user, proxy), 0600, error);
}

} // namespace zkv
