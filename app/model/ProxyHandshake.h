// The proxy handshakes of the client's connection, without any socket.
//
// TPROXYClientSocket owns one of these per connection attempt. When the TCP connection to the
// proxy is up it calls Start() and sends what it returns; then, while the tunnel is not open, it
// reads at most WantedBytes() bytes at a time and hands them to Feed(). Each call returns what
// to do next: bytes to send, notifications to fire, the tunnel opened, or an error code.
//
// Replies are collected until they are complete: TCP has no message boundaries, so a reply
// that arrives in two segments is read in two steps rather than failed. Only what belongs to the
// reply is ever asked for, so data the server sends right after the tunnel opens stays in the
// socket for the owner.
#pragma once

#include "support/UserData.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

// Handshake failures, reported through the socket's error event.
namespace proxyerr {
inline constexpr int kSocks4Rejected = 30001;    // reply code not 90
inline constexpr int kSocks4BadVersion = 30002;  // reply version byte not 0
inline constexpr int kSocks5NoMethod = 30004;    // method reply version not 5, or 0xFF
inline constexpr int kShortSend = 30005;         // a handshake message went out incompletely
inline constexpr int kShortReply = 30006;        // the proxy closed before its reply was whole
inline constexpr int kSocks4Unresolved = 30007;  // SOCKS 4: Host cannot be resolved
inline constexpr int kBadAddress = 30008;        // Host empty and Address not dotted IPv4
inline constexpr int kHttpRefused = 30009;       // HTTP status not 200
inline constexpr int kSocks5ConnectBase = 30010; // + the connect reply code (1..255)
inline constexpr int kSocks5OtherMethod = 30266; // method other than 0 and 2
inline constexpr int kSocks5AuthRefused = 30267; // RFC 1929 status not success
} // namespace proxyerr

// The all-ones address ResolveHost returns for a name it cannot find.
inline constexpr std::uint32_t kResolveFailed = 0xFFFFFFFFu;

// Looks a name up in the system's host database (or parses a dotted address) and returns its
// first IPv4 address in host order (a.b.c.d as a<<24 | b<<16 | c<<8 | d), or kResolveFailed.
std::uint32_t ResolveHost(const std::string& name);

// Parses strict dotted IPv4; false for anything else.
bool ParseDottedIPv4(std::string_view text, std::uint32_t& out);

// Base64 with the standard alphabet and padding, cut into lines of 76 characters joined by
// CR LF, no trailing line break. A count of 0 or less gives an empty text.
std::string BASE64EncodeData(const std::uint8_t* bytes, long count);

struct ProxyTarget {
    std::string host;    // final destination name (may be empty)
    std::string address; // final destination, dotted IPv4 (used when host is empty)
    int port = 0;        // final destination port
    std::string userName;
    std::string userPassword;
    bool useProxyToResolveHost = false;
    TPROXYVersion version = TPROXYVersion::HTTP_PROXY;
};

class ProxyHandshake {
public:
    using Resolver = std::function<std::uint32_t(const std::string&)>;

    struct Step {
        std::vector<std::uint8_t> send; // write these bytes (completely) to the proxy
        int error = 0;                  // non-zero: report it and close the connection
        bool requestSent = false;       // fire OnProxyAutentification once `send` went out
        bool accepted = false;          // fire OnProxyAutentificated
        bool tunnelOpen = false;        // the tunnel is open: fire OnConnect
    };

    // The longest HTTP reply head accepted before giving up with 30009.
    static constexpr std::size_t kMaxHttpReply = 16 * 1024;

    explicit ProxyHandshake(ProxyTarget target, Resolver resolve = ResolveHost);

    // The TCP connection to the proxy is up: the first message.
    Step Start();
    // How many bytes the handshake wants next (never more than the rest of the current reply);
    // 0 once the tunnel is open or the handshake failed.
    std::size_t WantedBytes() const;
    // Bytes read from the proxy, at most WantedBytes() of them.
    Step Feed(std::span<const std::uint8_t> bytes);
    // The proxy closed the connection before the tunnel opened: 30006 if a reply was awaited.
    int PeerClosed() const;

    bool TunnelOpen() const { return phase_ == Phase::Open; }
    bool Failed() const { return phase_ == Phase::Failed; }
    bool Socks5AuthSent() const { return phase_ == Phase::Socks5Auth; }
    bool Socks5ConnectSent() const { return phase_ == Phase::Socks5Connect; }
    std::uint8_t Socks5Method() const { return method_; }
    const std::string& HttpReply() const { return httpReply_; }

private:
    enum class Phase {
        Idle,          // Start not called
        Socks4Reply,   // awaiting the 8-byte SOCKS 4 reply
        Socks5Method,  // awaiting the 2-byte method reply
        Socks5Auth,    // awaiting the 2-byte RFC 1929 reply
        Socks5Connect, // awaiting the connect reply (10 bytes for IPv4)
        HttpReply,     // reading the reply head byte by byte
        Open,
        Failed,
    };

    Step Fail(int code);
    Step Socks4Request(bool remoteResolve);
    Step Socks5ConnectRequest();
    Step Socks5AuthRequest();
    // The destination as IPv4 for the address forms; 0 with `error` set when it cannot be had.
    bool DestinationAddress(std::uint32_t& ip, int& error) const;
    std::size_t Socks5ConnectReplyLength() const;
    Step FeedHttp(std::uint8_t byte);

    ProxyTarget t_;
    Resolver resolve_;
    Phase phase_ = Phase::Idle;
    std::vector<std::uint8_t> reply_; // the reply collected so far (SOCKS)
    std::string httpReply_;
    int lineEnds_ = 0; // 0..4: CR LF CR LF progress of the HTTP reply head
    std::uint8_t method_ = 0;
};

} // namespace zkv
