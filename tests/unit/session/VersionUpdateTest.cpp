// The version check against a real HTTP server on loopback, and zelkova-update against a real
// lock held by a running process.
#include "tools/VersionUpdate.h"
#include "tests/support/ClientHarness.h"
#include "tests/unit/session/LocalHttpServer.h"
#include "tests/unit/session/UpdateSigning.h"
#include "tools/UpdateHandOver.h"
#include "tools/UpdatePackage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace zkv {
namespace {

namespace fs = std::filesystem;

class RecordingHost final : public IVersionUpdateHost {
public:
    void UpdateLog(const std::string& text) override { log.push_back(text); }
    void UpdateProgressBegin() override { progress.push_back(-1); }
    void UpdateProgress(int percent) override { progress.push_back(percent); }
    void UpdateProgressEnd() override { progress.push_back(-2); }
    bool UpdateAsk(const std::string& text) override {
        asked.push_back(text);
        return answer;
    }
    std::vector<std::string> log, asked;
    std::vector<int> progress;
    bool answer = true;
};

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Installer(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return s;
}

struct Check {
    test::TempDir dir;
    test::LocalHttpServer server{ZKV_HTTP_SERVER_SCRIPT, dir.Path() / "www"};
    test::SigningKey key{dir.Path() / "key"};
    RecordingHost host;
    CurlHttpClient http;

    TVersionUpdate::Config Config(const std::string& versionUrl) {
        TVersionUpdate::Config c;
        c.versionUrl = versionUrl;
        c.running = {1, 9, 5};
        c.downloadDir = dir.Path() / "downloads";
        c.keyring = key.Keyring();
        return c;
    }
    // Serves a real package `name` of the client, version 99.0, signed with the test key.
    std::string ServePackage(const std::string& name) {
        const fs::path deb = dir.Path() / "www" / name;
        EXPECT_TRUE(test::BuildPackage(deb, kClientPackageName, "99.0"));
        EXPECT_TRUE(key.Sign(deb));
        return ReadAll(deb);
    }
    // Serves `content` as the version file and runs the check on it.
    std::unique_ptr<TVersionUpdate> Run(const std::string& content) {
        server.Serve("autoupdate.txt", content);
        auto u = std::make_unique<TVersionUpdate>(Config(server.Url("autoupdate.txt")), http, host,
                                                  nullptr);
        u->Execute();
        return u;
    }
};

TEST(VersionCheck, DecidesFromTheServedVersionFile) {
    struct Case {
        std::string file;
        std::vector<std::string> log;
    };
    const std::string url = "http://127.0.0.1:1/zelkova-user-client_9.0.0_amd64.deb";
    const std::vector<Case> cases = {
        {"1.9.5\n" + url, {VersionAvailableText("1.9.5"), kUpdUpToDate}},
        {"1.9.4\n" + url, {VersionAvailableText("1.9.4"), kUpdUpToDate}},
        {"0.99.99\t" + url, {VersionAvailableText("0.99.99"), kUpdUpToDate}},
        {"1.x.3\n" + url, {VersionAvailableText("1.x.3"), kUpdBadVersion, kUpdUpToDate}},
        {"1.9\n" + url, {VersionAvailableText("1.9"), kUpdBadVersion, kUpdUpToDate}},
        {"2.0.0\r\n\r\n", {kUpdCannotDetermine}},
        {"\r\n2.0.0\r\n" + url, {kUpdCannotDetermine}},
        {"", {kUpdCannotDetermine}},
    };
    Check c;
    ASSERT_GT(c.server.Port(), 0);
    for (const auto& k : cases) {
        c.host.log.clear();
        c.Run(k.file);
        std::vector<std::string> want = {kUpdCheckStart};
        want.insert(want.end(), k.log.begin(), k.log.end());
        EXPECT_EQ(c.host.log, want) << k.file;
        EXPECT_TRUE(c.host.asked.empty()) << k.file;
    }
    // 1.10.0 on 1.9.5 is newer: the parts compare as integers. Answered No: nothing is fetched.
    c.host.log.clear();
    c.host.answer = false;
    auto u = c.Run("1.10.0\n" + url);
    EXPECT_EQ(c.host.log, (std::vector<std::string>{kUpdCheckStart, VersionAvailableText("1.10.0"),
                                                    kUpdAborted}));
    EXPECT_EQ(c.host.asked, std::vector<std::string>{kUpdAsk});
    EXPECT_FALSE(u->Downloaded());
    EXPECT_FALSE(fs::exists(c.dir.Path() / "downloads"));

    // Built without the service's keyring: nothing can be verified, so nothing is offered.
    c.host.log.clear();
    c.host.asked.clear();
    c.server.Serve("autoupdate.txt", "2.0.0\n" + url);
    auto cfg = c.Config(c.server.Url("autoupdate.txt"));
    cfg.keyring.clear();
    TVersionUpdate unverifiable(cfg, c.http, c.host, nullptr);
    unverifiable.Execute();
    EXPECT_EQ(c.host.log, (std::vector<std::string>{kUpdCheckStart, VersionAvailableText("2.0.0"),
                                                    kUpdCannotVerify}));
    EXPECT_TRUE(c.host.asked.empty());
    EXPECT_FALSE(unverifiable.Downloaded());
}

TEST(VersionCheck, FailedFetchesCannotDetermine) {
    Check c;
    // A 404, and a port nobody listens on.
    for (const std::string& url :
         {c.server.Url("missing.txt"), std::string("http://127.0.0.1:1/zelkova/autoupdate.txt")}) {
        c.host.log.clear();
        TVersionUpdate u(c.Config(url), c.http, c.host, nullptr);
        u.Execute();
        EXPECT_EQ(c.host.log, (std::vector<std::string>{kUpdCheckStart, kUpdCannotDetermine}))
            << url;
    }
    // A version file above its bound is refused whole.
    c.host.log.clear();
    c.server.Serve("big.txt", "2.0.0\n" + c.server.Url("x.deb") + "\n" + std::string(70000, ' '));
    TVersionUpdate big(c.Config(c.server.Url("big.txt")), c.http, c.host, nullptr);
    big.Execute();
    EXPECT_EQ(c.host.log, (std::vector<std::string>{kUpdCheckStart, kUpdCannotDetermine}));
}

TEST(VersionCheck, DownloadsTheNewerInstallerCompletelyUnderItsName) {
    Check c;
    ASSERT_TRUE(c.key.Ok());
    const std::string bytes = c.ServePackage("zelkova-user-client_2.0.0_amd64.deb");
    // Windows line breaks and trailing blank lines around the two items.
    auto u =
        c.Run("2.0.0\r\n" + c.server.Url("zelkova-user-client_2.0.0_amd64.deb") + "\r\n\r\n\r\n");
    ASSERT_EQ(c.host.log.size(), 4u);
    EXPECT_EQ(c.host.log[2], kUpdDownloading);
    EXPECT_EQ(c.host.log[3].rfind(kUpdSignedBy, 0), 0u) << c.host.log[3];
    ASSERT_TRUE(u->Downloaded());
    EXPECT_TRUE(fs::exists(u->DownloadedPath().string() + ".sig"));
    EXPECT_EQ(u->FileName(), "zelkova-user-client_2.0.0_amd64.deb");
    EXPECT_EQ(u->DownloadedPath(), c.dir.Path() / "downloads" / u->FileName());
    EXPECT_EQ(ReadAll(u->DownloadedPath()), bytes);
    EXPECT_TRUE(std::regex_search(
        c.server.Requests(),
        std::regex("/zelkova-user-client_2.0.0_amd64.deb\\?unique=[0-9]{1,8}\n")));
    EXPECT_TRUE(std::regex_search(
        c.server.Requests(),
        std::regex("/zelkova-user-client_2.0.0_amd64.deb.sig\\?unique=[0-9]{1,8}\n")));
    // Every transfer: begin, rising percentages ending at 100, end.
    ASSERT_GE(c.host.progress.size(), 5u);
    EXPECT_EQ(c.host.progress.back(), -2);
    EXPECT_EQ(c.host.progress[c.host.progress.size() - 2], 100);
    for (std::size_t i = 1; i < c.host.progress.size(); ++i) {
        if (c.host.progress[i] >= 0 && c.host.progress[i - 1] >= 0) {
            EXPECT_GT(c.host.progress[i], c.host.progress[i - 1]);
        }
    }
}

TEST(VersionCheck, ChunkedReplyWithoutSizeShowsNoPercentage) {
    Check c;
    const std::string bytes = c.ServePackage("zkv_chunked_2.0.0.deb");
    auto u = c.Run("2.0.0\n" + c.server.Url("zkv_chunked_2.0.0.deb"));
    ASSERT_TRUE(u->Downloaded());
    EXPECT_EQ(ReadAll(u->DownloadedPath()), bytes);
    // The package and its signature: begin and end, no percent.
    std::vector<int> installerProgress(c.host.progress.end() - 4, c.host.progress.end());
    EXPECT_EQ(installerProgress, (std::vector<int>{-1, -2, -1, -2}));
}

TEST(VersionCheck, UnsafeNamesAndOversizedInstallersAreRefused) {
    Check c;
    // Only a package is fetched: a name of anything else would make the client hand over
    // something the updater cannot take.
    for (const std::string& name :
         {std::string("..%2f..%2fevil.deb"), std::string(".hidden.deb"), std::string("a b.deb"),
          std::string("x.deb;rm"), std::string(96, 'a') + ".deb", std::string(""),
          std::string("setup.exe"), std::string("install.sh"), std::string(".deb")}) {
        c.host.log.clear();
        auto u = c.Run("2.0.0\n" + c.server.Url("") + name);
        EXPECT_EQ(c.host.log.back(), kUpdCannotDetermine) << name;
        EXPECT_FALSE(u->Downloaded()) << name;
    }
    // Nothing was fetched.
    for (const char* part : {".deb", "setup.exe", "install.sh"})
        EXPECT_EQ(c.server.Requests().find(part), std::string::npos) << part;
    EXPECT_TRUE(InstallerFileName("http://h/p/" + std::string(95, 'a') + ".deb").has_value());

    // Above the download bound: refused, nothing saved, the client goes on.
    c.server.Serve("big_2.0.0.deb", Installer(5000));
    auto cfg = c.Config(c.server.Url("autoupdate.txt"));
    cfg.maxInstallerBytes = 4096;
    c.server.Serve("autoupdate.txt", "2.0.0\n" + c.server.Url("big_2.0.0.deb"));
    TVersionUpdate u(cfg, c.http, c.host, nullptr);
    u.Execute();
    EXPECT_FALSE(u.Downloaded());
    EXPECT_FALSE(fs::exists(c.dir.Path() / "downloads" / "big_2.0.0.deb"));
}

// A man in the middle cannot turn an https address into plain http by a redirect; https to
// https still works, and plain http stays allowed.
TEST(VersionCheck, HttpsNeverFollowsARedirectToHttp) {
    test::TempDir dir;
    const std::string cert = (dir.Path() / "cert.pem").string();
    const std::string key = (dir.Path() / "key.pem").string();
    ASSERT_TRUE(test::Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                            "-nodes -days 1 -subj /CN=127.0.0.1 -addext "
                            "subjectAltName=IP:127.0.0.1 -keyout '" +
                            key + "' -out '" + cert + "' 2>/dev/null"));
    test::LocalHttpServer plain(ZKV_HTTP_SERVER_SCRIPT, dir.Path() / "plain");
    test::LocalHttpServer secure(ZKV_HTTP_SERVER_SCRIPT, dir.Path() / "secure", cert, key);
    ASSERT_GT(secure.Port(), 0);
    plain.Serve("autoupdate.txt", "2.0.0\n");
    secure.Serve("autoupdate.txt", "2.0.0\n");
    secure.Serve("to-http.redirect", plain.Url("autoupdate.txt"));
    secure.Serve("to-https.redirect", secure.Url("autoupdate.txt"));
    plain.Serve("to-https.redirect", secure.Url("autoupdate.txt"));
    CurlHttpClient http(cert);
    HttpProgress none;
    const HttpResult down = http.Get(secure.Url("to-http.redirect"), 4096, none);
    EXPECT_FALSE(down.ok);
    EXPECT_TRUE(down.body.empty());
    EXPECT_EQ(plain.Requests().find("autoupdate.txt"), std::string::npos); // never asked
    EXPECT_TRUE(http.Get(secure.Url("to-https.redirect"), 4096, none).ok);
    EXPECT_TRUE(http.Get(plain.Url("to-https.redirect"), 4096, none).ok);
    EXPECT_TRUE(http.Get(plain.Url("autoupdate.txt"), 4096, none).ok);
}

TEST(VersionCheck, EndHandlerRunsAfterTheThread) {
    Check c;
    c.server.Serve("autoupdate.txt", "1.0.0\nhttp://127.0.0.1:1/a.deb");
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    TVersionUpdate u(c.Config(c.server.Url("autoupdate.txt")), c.http, c.host, [&] {
        std::lock_guard g(m);
        ended = true;
        cv.notify_all();
    });
    u.Start();
    std::unique_lock g(m);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(20), [&] { return ended; }));
    EXPECT_EQ(c.host.log.back(), kUpdUpToDate);
}

// zelkova-update's user side waits for the client's lock, has the package checked and
// installed (a refused one here: nothing is installed on the test machine), and starts the
// client again either way.
TEST(UpdateProgram, WaitsForTheLockThenHandsOverAndRestarts) {
    test::TempDir dir;
    const fs::path lock = dir.Path() / "QuillonZelkovaUserClientMutex.lock";
    const fs::path deb = dir.Path() / "downloads" / "zelkova-user-client_2.0.0_amd64.deb";
    fs::create_directories(deb.parent_path());
    std::ofstream(deb) << "package";
    const fs::path restarted = dir.Path() / "restarted";
    const fs::path log = dir.Path() / "updater.log";

    // A running process holds the lock for a while.
    std::ofstream(lock) << "";
    pid_t holder = fork();
    if (holder == 0) {
        execl("/usr/bin/flock", "flock", lock.c_str(), "/bin/sleep", "1.5", (char*)nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    pid_t updater = fork();
    if (updater == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::unsetenv("PKEXEC_UID");
        const auto argv =
            UpdaterArguments(ZKV_UPDATE_PROGRAM, lock, deb, {"/usr/bin/touch", restarted.string()});
        std::vector<char*> a;
        for (const auto& s : argv)
            a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(ReadAll(log).find("refused"), std::string::npos); // still waiting for the holder
    int status = 0;
    ASSERT_EQ(waitpid(updater, &status, 0), updater);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1); // nothing was installed
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    for (int i = 0; i < 50 && !fs::exists(restarted); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::exists(restarted)) << ReadAll(log);

    EXPECT_FALSE(InstallerPathOf("relative.deb /SP- /SILENT /NOCANCEL"));
    EXPECT_FALSE(InstallerPathOf("/tmp/x.sh /SP- /SILENT /NOCANCEL"));
}

} // namespace
} // namespace zkv
