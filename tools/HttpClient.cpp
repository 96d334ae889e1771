#include "tools/HttpClient.h"

#include <curl/curl.h>

#include <mutex>

namespace zkv {

namespace {

struct Transfer {
    HttpResult* result;
    std::size_t maxBytes;
    const HttpProgress* progress;
    bool begun = false;
    bool tooLarge = false;
    std::int64_t expected = -1;
    CURL* curl;
};

void EnsureGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void Begin(Transfer& t) {
    if (t.begun)
        return;
    t.begun = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0)
        t.expected = static_cast<std::int64_t>(length);
    if (t.progress->begin)
        t.progress->begin(t.expected);
}

std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t n = size * count;
    Begin(t);
    if (t.expected > 0 && static_cast<std::uint64_t>(t.expected) > t.maxBytes) {
        t.tooLarge = true;
        return 0; // an announced size above the bound: stop before storing anything
    }
    if (t.result->body.size() + n > t.maxBytes) {
        t.tooLarge = true;
        return 0;
    }
    t.result->body.insert(t.result->body.end(), data, data + n);
    if (t.progress->chunk)
        t.progress->chunk(t.result->body.size(), t.expected);
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& t = *static_cast<Transfer*>(user);
    return t.progress->cancel && t.progress->cancel->load() ? 1 : 0;
}

} // namespace

HttpResult CurlHttpClient::Get(const std::string& url, std::size_t maxBytes,
                               const HttpProgress& progress) {
    HttpResult result;
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        result.error = "not an http:// or https:// address";
        return result;
    }
    EnsureGlobalInit();
    CURL* curl = curl_easy_init();
    if (!curl) {
        result.error = "no HTTP client";
        return result;
    }
    Transfer t{&result, maxBytes, &progress, false, false, -1, curl};
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // An https address stays https: a redirect to plain http would hand the transfer to
    // whoever sits on the path.
    const bool secure = url.rfind("https://", 0) == 0;
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    if (!caFile_.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "zelkova-user-client");
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    if (!t.begun && rc == CURLE_OK)
        Begin(t); // an empty body still begins (and ends) a transfer
    curl_easy_cleanup(curl);
    if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        result.error = "the reply is larger than " + std::to_string(maxBytes) + " bytes";
        result.body.clear();
    } else if (rc != CURLE_OK) {
        result.error = errorText[0] ? errorText : curl_easy_strerror(rc);
        result.body.clear();
    } else if (result.status < 200 || result.status > 299) {
        result.error = "HTTP status " + std::to_string(result.status);
        result.body.clear();
    } else {
        result.ok = true;
    }
    return result;
}

} // namespace zkv
