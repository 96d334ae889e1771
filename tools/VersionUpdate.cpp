#include "tools/VersionUpdate.h"

#include "platform/MainThread.h"
#include "support/AtomicFile.h"
#include "support/Deployment.h"
#include "support/UserData.h"
#include "tools/UpdatePackage.h"

#include <random>

namespace zkv {

std::string VersionAvailableText(std::string_view version) {
    return "Version " + std::string(version) + " of the Zelkova User Client is available.";
}

std::string DefaultVersionFileUrl() {
    return std::string("http://") + kUpdateServerHost + kVersionFilePath;
}

VersionFile ParseVersionFile(std::span<const std::uint8_t> data) {
    VersionFile out;
    std::size_t i = 0;
    auto item = [&](std::string& into) {
        while (i < data.size() && data[i] >= 32)
            into.push_back(static_cast<char>(data[i++]));
    };
    item(out.version);
    if (out.version.empty())
        return out; // the version must stand at the very start
    while (i < data.size() && data[i] < 32)
        ++i;
    item(out.url);
    return out;
}

VersionOrder CompareVersion(std::string_view text, const std::array<std::int32_t, 3>& running) {
    const std::size_t lastDot = text.rfind('.');
    const std::string_view releasePart =
        lastDot == std::string_view::npos ? text : text.substr(lastDot + 1);
    const std::string_view rest =
        lastDot == std::string_view::npos ? std::string_view{} : text.substr(0, lastDot);
    const std::size_t dot = rest.rfind('.');
    const std::string_view minorPart = dot == std::string_view::npos ? rest : rest.substr(dot + 1);
    const std::string_view majorPart =
        dot == std::string_view::npos ? std::string_view{} : rest.substr(0, dot);
    std::int32_t major = 0, minor = 0, release = 0;
    if (!ParseInt32(majorPart, major) || !ParseInt32(minorPart, minor) ||
        !ParseInt32(releasePart, release))
        return VersionOrder::Bad;
    if (major != running[0])
        return major > running[0] ? VersionOrder::Newer : VersionOrder::NotNewer;
    if (minor != running[1])
        return minor > running[1] ? VersionOrder::Newer : VersionOrder::NotNewer;
    return release > running[2] ? VersionOrder::Newer : VersionOrder::NotNewer;
}

std::optional<std::string> InstallerFileName(std::string_view url) {
    const std::size_t slash = url.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? url : url.substr(slash + 1);
    if (name.empty() || name.size() > kMaxInstallerNameLength || name.front() == '.' ||
        name.size() <= 4 || name.substr(name.size() - 4) != ".deb")
        return std::nullopt;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' || c == '+';
        if (!plain)
            return std::nullopt;
    }
    return std::string(name);
}

std::optional<int> TransferPercent(std::uint64_t received, std::int64_t expected) {
    if (expected <= 0)
        return std::nullopt;
    const std::uint64_t total = static_cast<std::uint64_t>(expected);
    if (received >= total)
        return 100;
    return static_cast<int>(received * 100 / total);
}

TVersionUpdate::TVersionUpdate(Config config, IHttpClient& http, IVersionUpdateHost& host,
                               std::function<void()> onTerminate)
    : config_(std::move(config)), http_(http), host_(host), onTerminate_(std::move(onTerminate)) {}

TVersionUpdate::~TVersionUpdate() {
    Join();
}

void TVersionUpdate::Start() {
    if (!thread_.joinable())
        thread_ = std::thread([this] {
            Execute();
            if (onTerminate_)
                onTerminate_();
        });
}

void TVersionUpdate::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void TVersionUpdate::Log(const std::string& text) {
    MainThread().Invoke([&] { host_.UpdateLog(text); });
}

bool TVersionUpdate::Fetch(const std::string& url, std::size_t bound,
                           const std::filesystem::path& saveAs, HttpResult* result) {
    bool begun = false;
    int lastPercent = -1;
    HttpProgress progress;
    progress.cancel = &stop_;
    progress.begin = [&](std::int64_t) {
        begun = true;
        MainThread().Invoke([&] { host_.UpdateProgressBegin(); });
    };
    progress.chunk = [&](std::uint64_t received, std::int64_t expected) {
        const auto percent = TransferPercent(received, expected);
        if (!percent || *percent == lastPercent)
            return; // no size announced: no percentage
        lastPercent = *percent;
        MainThread().Invoke([&] { host_.UpdateProgress(*percent); });
    };
    HttpResult r = http_.Get(url, bound, progress);
    bool saved = false;
    if (r.ok && !saveAs.empty()) {
        // The file counts as downloaded only once it is completely on disk under its name.
        std::error_code ec;
        std::filesystem::create_directories(saveAs.parent_path(), ec);
        std::string error;
        const std::string_view bytes(reinterpret_cast<const char*>(r.body.data()), r.body.size());
        if (!ec && WriteFileAtomically(saveAs, bytes, 0600, &error))
            saved = true;
        else
            Log("Can not save the downloaded file: " + (ec ? ec.message() : error));
    } else if (!r.ok && !saveAs.empty()) {
        Log("The download failed: " + r.error);
    }
    if (begun)
        MainThread().Invoke([&] { host_.UpdateProgressEnd(); });
    if (result)
        *result = std::move(r);
    return saved;
}

bool TVersionUpdate::CheckDownload() {
    PrivateDirectory work;
    UpdateVerdict v;
    if (!work.Ok()) {
        v.reason = work.Error();
    } else {
        UpdateCheckOptions o;
        o.keyring = config_.keyring;
        o.builtVersion =
            config_.builtVersion.empty() ? BuiltPackageVersion() : config_.builtVersion;
        o.maxPackageBytes = config_.maxInstallerBytes;
        v = CheckUpdatePackage(DownloadedPath(), o, work.Path());
    }
    if (v.ok)
        Log(std::string(kUpdSignedBy) + v.signer + ").");
    else
        Log(kUpdRefused + v.reason);
    return v.ok;
}

void TVersionUpdate::Execute() {
    downloaded_ = false;
    fileName_.clear();
    Log(kUpdCheckStart);
    HttpResult file;
    Fetch(config_.versionUrl, config_.maxVersionFileBytes, {}, &file);
    const VersionFile v = ParseVersionFile(file.body);
    if (v.version.empty() || v.url.empty()) {
        Log(kUpdCannotDetermine);
        return;
    }
    Log(VersionAvailableText(v.version));
    const VersionOrder order = CompareVersion(v.version, config_.running);
    if (order == VersionOrder::Bad)
        Log(kUpdBadVersion);
    if (order != VersionOrder::Newer) {
        Log(kUpdUpToDate);
        return;
    }
    if (config_.keyring.empty()) {
        Log(kUpdCannotVerify); // nothing could be installed: nothing is downloaded
        return;
    }
    bool yes = true;
    if (stop_)
        return;
    MainThread().Invoke([&] { yes = host_.UpdateAsk(kUpdAsk); });
    if (!yes) {
        Log(kUpdAborted);
        return;
    }
    Log(kUpdDownloading);
    // Only a package is fetched: any other name is refused before anything is downloaded.
    const auto name = InstallerFileName(v.url);
    if (!name) {
        Log(kUpdCannotDetermine);
        return;
    }
    fileName_ = *name;
    std::random_device seed;
    std::mt19937 rng(seed());
    std::uniform_int_distribution<std::uint32_t> unique(0, 99'999'999);
    const std::string query = "?unique=" + std::to_string(unique(rng));
    const std::filesystem::path sig = DownloadedPath().string() + kSignatureSuffix;
    bool ok = Fetch(v.url + query, config_.maxInstallerBytes, DownloadedPath()) &&
              Fetch(v.url + kSignatureSuffix + query, kMaxSignatureBytes, sig) && !stop_ &&
              CheckDownload();
    if (!ok) {
        std::error_code ec;
        std::filesystem::remove(DownloadedPath(), ec);
        std::filesystem::remove(sig, ec);
        fileName_.clear();
    }
    downloaded_ = ok;
}

} // namespace zkv
