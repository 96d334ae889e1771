#include "app/model/ProxyHandshake.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace zkv {

bool ParseDottedIPv4(std::string_view text, std::uint32_t& out) {
    std::string s(text);
    in_addr a{};
    if (s.empty() || inet_pton(AF_INET, s.c_str(), &a) != 1)
        return false;
    out = ntohl(a.s_addr);
    return true;
}

std::uint32_t ResolveHost(const std::string& name) {
    if (name.empty())
        return kResolveFailed;
    std::uint32_t ip = 0;
    if (ParseDottedIPv4(name, ip))
        return ip;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return kResolveFailed;
    std::uint32_t found = kResolveFailed;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin{};
            std::memcpy(&sin, p->ai_addr, sizeof sin);
            found = ntohl(sin.sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(res);
    return found;
}

std::string BASE64EncodeData(const std::uint8_t* bytes, long count) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    if (count <= 0 || bytes == nullptr)
        return out;
    const auto n = static_cast<std::size_t>(count);
    out.reserve((n + 2) / 3 * 4 + (n / 57) * 2);
    std::size_t lineLen = 0;
    auto put = [&](char c) {
        if (lineLen == 76) {
            out += "\r\n";
            lineLen = 0;
        }
        out += c;
        ++lineLen;
    };
    for (std::size_t i = 0; i < n; i += 3) {
        const std::uint32_t b0 = bytes[i];
        const std::uint32_t b1 = i + 1 < n ? bytes[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < n ? bytes[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        put(i + 2 < n ? kAlphabet[v & 63] : '=');
    }
    return out;
}

namespace {

void PutPort(std::vector<std::uint8_t>& m, int port) {
    m.push_back(static_cast<std::uint8_t>((port >> 8) & 0xFF));
    m.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

void PutIPv4(std::vector<std::uint8_t>& m, std::uint32_t ip) {
    m.push_back(static_cast<std::uint8_t>(ip >> 24));
    m.push_back(static_cast<std::uint8_t>(ip >> 16));
    m.push_back(static_cast<std::uint8_t>(ip >> 8));
    m.push_back(static_cast<std::uint8_t>(ip));
}

void PutText(std::vector<std::uint8_t>& m, const std::string& s) {
    m.insert(m.end(), s.begin(), s.end());
}

} // namespace

ProxyHandshake::ProxyHandshake(ProxyTarget target, Resolver resolve)
    : t_(std::move(target)), resolve_(std::move(resolve)) {
    if (!resolve_)
        resolve_ = ResolveHost;
}

ProxyHandshake::Step ProxyHandshake::Fail(int code) {
    phase_ = Phase::Failed;
    Step s;
    s.error = code;
    return s;
}

bool ProxyHandshake::DestinationAddress(std::uint32_t& ip, int& error) const {
    if (t_.host.empty()) {
        if (!ParseDottedIPv4(t_.address, ip)) {
            error = proxyerr::kBadAddress;
            return false;
        }
        return true;
    }
    ip = resolve_(t_.host);
    if (ip == kResolveFailed) {
        error = proxyerr::kSocks4Unresolved;
        return false;
    }
    return true;
}

ProxyHandshake::Step ProxyHandshake::Socks4Request(bool remoteResolve) {
    Step s;
    std::vector<std::uint8_t>& m = s.send;
    m.push_back(4);
    m.push_back(1);
    PutPort(m, t_.port);
    if (remoteResolve) {
        // SOCKS 4A: the address 0.0.0.1 tells the proxy to resolve the name that follows.
        PutIPv4(m, 1);
        PutText(m, t_.userName);
        m.push_back(0);
        PutText(m, t_.host);
        m.push_back(0);
    } else {
        std::uint32_t ip = 0;
        int error = 0;
        if (!DestinationAddress(ip, error))
            return Fail(error);
        PutIPv4(m, ip);
        PutText(m, t_.userName);
        m.push_back(0);
    }
    phase_ = Phase::Socks4Reply;
    s.requestSent = true;
    return s;
}

ProxyHandshake::Step ProxyHandshake::Start() {
    reply_.clear();
    httpReply_.clear();
    lineEnds_ = 0;
    method_ = 0;
    switch (t_.version) {
    case TPROXYVersion::SOCKS_4:
        return Socks4Request(false);
    case TPROXYVersion::SOCKS_4A: {
        bool remote = t_.useProxyToResolveHost;
        if (!remote && !t_.host.empty() && resolve_(t_.host) == kResolveFailed)
            remote = true;
        return Socks4Request(remote);
    }
    case TPROXYVersion::SOCKS_5: {
        Step s;
        s.send = {5, 2, 0, 2}; // two methods: none, user name/password
        s.requestSent = true;
        phase_ = Phase::Socks5Method;
        return s;
    }
    case TPROXYVersion::HTTP_PROXY:
        break;
    }
    Step s;
    std::string req = "CONNECT " + t_.host + ":" + std::to_string(t_.port) + " HTTP/1.0\r\n";
    if (!t_.userName.empty()) {
        const std::string cred = t_.userName + ":" + t_.userPassword;
        std::string b64 = BASE64EncodeData(reinterpret_cast<const std::uint8_t*>(cred.data()),
                                           static_cast<long>(cred.size()));
        // A header value is one line: long credentials must not be wrapped.
        std::string oneLine;
        for (char c : b64)
            if (c != '\r' && c != '\n')
                oneLine += c;
        // Credentials for a proxy travel in Proxy-Authorization; proxies ignore Authorization.
        req += "Proxy-Authorization: Basic " + oneLine + "\r\n";
    }
    req += "\r\n";
    s.send.assign(req.begin(), req.end());
    s.requestSent = true;
    phase_ = Phase::HttpReply;
    return s;
}

std::size_t ProxyHandshake::Socks5ConnectReplyLength() const {
    if (reply_.size() < 5)
        return 5;
    switch (reply_[3]) {
    case 3:
        return 7u + reply_[4]; // domain name: length byte, name, port
    case 4:
        return 22; // IPv6 address and port
    default:
        return 10; // IPv4 address and port
    }
}

std::size_t ProxyHandshake::WantedBytes() const {
    switch (phase_) {
    case Phase::Socks4Reply:
        return 8 - reply_.size();
    case Phase::Socks5Method:
    case Phase::Socks5Auth:
        return 2 - reply_.size();
    case Phase::Socks5Connect:
        return Socks5ConnectReplyLength() - reply_.size();
    case Phase::HttpReply:
        return 1;
    default:
        return 0;
    }
}

ProxyHandshake::Step ProxyHandshake::Socks5AuthRequest() {
    // RFC 1929: version 1, user name length and bytes, password length and bytes. Empty fields
    // are sent as a zero length with no bytes.
    if (t_.userName.size() > 255 || t_.userPassword.size() > 255)
        return Fail(proxyerr::kSocks5AuthRefused);
    Step s;
    s.send.push_back(1);
    s.send.push_back(static_cast<std::uint8_t>(t_.userName.size()));
    PutText(s.send, t_.userName);
    s.send.push_back(static_cast<std::uint8_t>(t_.userPassword.size()));
    PutText(s.send, t_.userPassword);
    phase_ = Phase::Socks5Auth;
    return s;
}

ProxyHandshake::Step ProxyHandshake::Socks5ConnectRequest() {
    Step s;
    std::vector<std::uint8_t>& m = s.send;
    m = {5, 1, 0};
    std::uint32_t ip = 0;
    if (t_.host.empty()) {
        if (!ParseDottedIPv4(t_.address, ip))
            return Fail(proxyerr::kBadAddress);
        m.push_back(1);
        PutIPv4(m, ip);
    } else if (!t_.useProxyToResolveHost && (ip = resolve_(t_.host)) != kResolveFailed) {
        m.push_back(1);
        PutIPv4(m, ip);
    } else {
        if (t_.host.size() > 255)
            return Fail(proxyerr::kBadAddress);
        m.push_back(3);
        m.push_back(static_cast<std::uint8_t>(t_.host.size()));
        PutText(m, t_.host);
    }
    PutPort(m, t_.port);
    reply_.clear();
    phase_ = Phase::Socks5Connect;
    return s;
}

ProxyHandshake::Step ProxyHandshake::FeedHttp(std::uint8_t b) {
    httpReply_ += static_cast<char>(b);
    switch (lineEnds_) {
    case 0:
    case 2:
        lineEnds_ = b == '\r' ? lineEnds_ + 1 : 0;
        break;
    case 1:
    case 3:
        lineEnds_ = b == '\n' ? lineEnds_ + 1 : 0;
        break;
    default:
        lineEnds_ = 0;
    }
    if (lineEnds_ == 4) {
        lineEnds_ = 0;
        const std::size_t blank = httpReply_.find(' ');
        if (blank != std::string::npos) {
            std::size_t p = httpReply_.find_first_not_of(' ', blank);
            if (p != std::string::npos && httpReply_.compare(p, 3, "200") == 0) {
                phase_ = Phase::Open;
                Step s;
                s.tunnelOpen = true;
                return s;
            }
        }
        return Fail(proxyerr::kHttpRefused);
    }
    if (httpReply_.size() >= kMaxHttpReply)
        return Fail(proxyerr::kHttpRefused);
    return {};
}

ProxyHandshake::Step ProxyHandshake::Feed(std::span<const std::uint8_t> bytes) {
    Step last;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (WantedBytes() == 0)
            break; // never consume past the handshake
        const std::uint8_t b = bytes[i];
        if (phase_ == Phase::HttpReply) {
            last = FeedHttp(b);
            if (last.error || last.tunnelOpen)
                return last;
            continue;
        }
        reply_.push_back(b);
        switch (phase_) {
        case Phase::Socks4Reply:
            if (reply_.size() < 8)
                break;
            if (reply_[0] != 0)
                return Fail(proxyerr::kSocks4BadVersion);
            if (reply_[1] != 90)
                return Fail(proxyerr::kSocks4Rejected);
            phase_ = Phase::Open;
            last = {};
            last.accepted = true;
            last.tunnelOpen = true;
            return last;
        case Phase::Socks5Method:
            if (reply_.size() < 2)
                break;
            if (reply_[0] != 5 || reply_[1] == 0xFF)
                return Fail(proxyerr::kSocks5NoMethod);
            method_ = reply_[1];
            if (method_ == 0) {
                last = Socks5ConnectRequest();
                last.accepted = last.error == 0;
                return last;
            }
            if (method_ == 2) {
                reply_.clear();
                return Socks5AuthRequest();
            }
            return Fail(proxyerr::kSocks5OtherMethod);
        case Phase::Socks5Auth:
            if (reply_.size() < 2)
                break;
            if (reply_[0] != 1 || reply_[1] != 0)
                return Fail(proxyerr::kSocks5AuthRefused);
            last = Socks5ConnectRequest();
            last.accepted = last.error == 0;
            return last;
        case Phase::Socks5Connect:
            if (reply_.size() >= 2 && reply_[1] != 0)
                return Fail(proxyerr::kSocks5ConnectBase + reply_[1]);
            if (reply_.size() < Socks5ConnectReplyLength())
                break;
            phase_ = Phase::Open;
            last = {};
            last.tunnelOpen = true;
            return last;
        default:
            break;
        }
    }
    return {};
}

int ProxyHandshake::PeerClosed() const {
    switch (phase_) {
    case Phase::Socks4Reply:
    case Phase::Socks5Method:
    case Phase::Socks5Auth:
    case Phase::Socks5Connect:
    case Phase::HttpReply:
        return proxyerr::kShortReply;
    default:
        return 0;
    }
}

} // namespace zkv
