// TVersionUpdate: the check for a newer client, on its own thread.
//
// The thread fetches the version file (the newest version "major.minor.release" and the
// installer's address, separated by control bytes), compares it with the running version and,
// when it is newer and the user agrees, downloads the installer and its detached signature
// (the address + ".sig") into the downloads folder of the data directory and checks them
// (tools/UpdatePackage.h): a package counts as downloaded only when the service signed it, it
// is the client's package and newer than this build. Without a keyring nothing is downloaded. Every
// effect on the window (log lines, the question, the progress bar) is a synchronised call through
// MainThread(). When the thread ends it calls its end handler (on the worker thread; the window
// posts it on to the main thread), after which Downloaded() and FileName() may be read.
#pragma once

#include "tools/HttpClient.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace zkv {

// The log texts of the check.
inline constexpr const char* kUpdCheckStart = "Check for last update version.";
inline constexpr const char* kUpdAsk = "New version of the Zelkova User Client is available. "
                                       "Download it?";
inline constexpr const char* kUpdAborted = "Aborted by user.";
inline constexpr const char* kUpdDownloading = "Starting download. Please wait for some minutes.";
inline constexpr const char* kUpdUpToDate = "Zelkova User Client is up-to-date.";
inline constexpr const char* kUpdCannotDetermine = "Can not determine upgrades existence.";
inline constexpr const char* kUpdBadVersion = "Bad version data.";
// The check of the downloaded package: "The package is signed by the service (key " + FPR +
// ")." or "The downloaded package is refused: " + reason.
inline constexpr const char* kUpdSignedBy = "The package is signed by the service (key ";
inline constexpr const char* kUpdRefused = "The downloaded package is refused: ";
// "Version " + version + " of the Zelkova User Client is available."
std::string VersionAvailableText(std::string_view version);

// Where the version file lies on the service's web server.
inline constexpr const char* kVersionFilePath = "/zelkova/autoupdate.txt";
// Bounds of what the check accepts from the network.
inline constexpr std::size_t kMaxVersionFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxInstallerBytes = 512ull * 1024 * 1024;
inline constexpr std::size_t kMaxInstallerNameLength = 99;

struct VersionFile {
    std::string version; // the first item
    std::string url;     // the second item, empty when there is none
};

// Splits the version file: every byte below 32 ends an item, runs of them are skipped.
VersionFile ParseVersionFile(std::span<const std::uint8_t> data);

enum class VersionOrder { Newer, NotNewer, Bad };
// Compares "major.minor.release" with the running version, part by part as integers.
VersionOrder CompareVersion(std::string_view text, const std::array<std::int32_t, 3>& running);

// The installer's file name: the URL's part after its last slash, accepted only when it is a
// plain name (1 to 99 characters of letters, digits, '.', '_', '-', '+', not starting with
// '.') ending in ".deb". Anything else gives nullopt: such a name could reach outside the
// downloads folder, be taken for an option by the package tools, or be no package at all.
std::optional<std::string> InstallerFileName(std::string_view url);

// Percent of a transfer; nullopt when the size is unknown (not announced, or 0).
std::optional<int> TransferPercent(std::uint64_t received, std::int64_t expected);

// What the thread does to the window; every call arrives on the main thread.
class IVersionUpdateHost {
public:
    virtual ~IVersionUpdateHost() = default;
    virtual void UpdateLog(const std::string& text) = 0;
    virtual void UpdateProgressBegin() = 0;
    virtual void UpdateProgress(int percent) = 0;
    virtual void UpdateProgressEnd() = 0;
    // The question, Yes/No; true unless the answer was No.
    virtual bool UpdateAsk(const std::string& text) = 0;
};

class TVersionUpdate {
public:
    struct Config {
        std::string versionUrl;                // the version file's full address
        std::array<std::int32_t, 3> running{}; // major, minor, release of this program
        std::filesystem::path downloadDir;     // created when needed
        std::size_t maxVersionFileBytes = kMaxVersionFileBytes;
        std::size_t maxInstallerBytes = kMaxInstallerBytes;
        // The service's keyring the download is checked against; empty: updates cannot be
        // verified and none is downloaded.
        std::filesystem::path keyring;
        // The version a package must exceed (this build's Debian version).
        std::string builtVersion;
    };

    TVersionUpdate(Config config, IHttpClient& http, IVersionUpdateHost& host,
                   std::function<void()> onTerminate);
    ~TVersionUpdate(); // joins the thread
    TVersionUpdate(const TVersionUpdate&) = delete;
    TVersionUpdate& operator=(const TVersionUpdate&) = delete;

    // Starts the thread (once).
    void Start();
    // Waits for the thread to end (the end handler has been called by then).
    void Join();
    // Ends a running transfer as failed; the thread then ends without downloading.
    void RequestStop() { stop_ = true; }
    // The thread body, also callable directly.
    void Execute();

    // Read after the end handler ran.
    bool Downloaded() const { return downloaded_; }
    const std::string& FileName() const { return fileName_; }
    std::filesystem::path DownloadedPath() const { return config_.downloadDir / fileName_; }

private:
    // GETs `url`; when `saveAs` is not empty the body is written there (atomically) and true
    // returned once it is completely on disk.
    bool Fetch(const std::string& url, std::size_t bound, const std::filesystem::path& saveAs,
               HttpResult* result = nullptr);
    // Checks the downloaded package and its signature; logs the verdict.
    bool CheckDownload();
    void Log(const std::string& text);

    Config config_;
    IHttpClient& http_;
    IVersionUpdateHost& host_;
    std::function<void()> onTerminate_;
    std::thread thread_;
    std::atomic<bool> downloaded_{false};
    std::atomic<bool> stop_{false};
    std::string fileName_;
};

// The address of the version file on the service's web server.
std::string DefaultVersionFileUrl();

} // namespace zkv
