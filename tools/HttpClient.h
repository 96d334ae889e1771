// HTTP GET into memory with progress, for the version check and the installer download.
//
// The libcurl client follows redirects only to http and https, from https only to https, sends no
// credentials and refuses a reply larger than the caller's bound, whether the server announced the
// size or not.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zkv {

struct HttpProgress {
    // Called once before the first byte, with the announced size (-1 when none was announced).
    std::function<void(std::int64_t expected)> begin;
    // Called after each received chunk with the bytes so far and the announced size (or -1).
    std::function<void(std::uint64_t received, std::int64_t expected)> chunk;
    // When set and true, the transfer ends as a failure at the next chance.
    const std::atomic<bool>* cancel = nullptr;
};

struct HttpResult {
    bool ok = false;   // a 2xx reply, received completely within the bound
    long status = 0;   // the HTTP status, 0 when no reply came
    std::string error; // why it failed, for the log
    std::vector<std::uint8_t> body;
};

class IHttpClient {
public:
    virtual ~IHttpClient() = default;
    // GETs `url` (http:// or https:// only). A body above `maxBytes` is a failure.
    virtual HttpResult Get(const std::string& url, std::size_t maxBytes,
                           const HttpProgress& progress) = 0;
};

// The production client over libcurl (time-outs: 15 s to connect, 60 s without progress).
class CurlHttpClient final : public IHttpClient {
public:
    CurlHttpClient() = default;
    // Trusts the certificates of `caFile` instead of the system's (a test's own server).
    explicit CurlHttpClient(std::string caFile) : caFile_(std::move(caFile)) {}
    HttpResult Get(const std::string& url, std::size_t maxBytes,
                   const HttpProgress& progress) override;

private:
    std::string caFile_;
};

} // namespace zkv
