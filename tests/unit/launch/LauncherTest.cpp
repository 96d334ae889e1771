#include "programs/launch/Launcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace zkv::launch;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "zkv-launch-XXXXXX").string();
        path = ::mkdtemp(t.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

uid_t OwnerOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_uid;
}

void Touch(const fs::path& p) {
    std::ofstream(p) << "x";
}

} // namespace

TEST(Launcher, UserSideHandsDataDirectoryAndDisplayToPkexec) {
    const Environment env = {{"XDG_CONFIG_HOME", "relative/not/used"},
                             {"HOME", "/home/ann"},
                             {"DISPLAY", ":1"},
                             {"XAUTHORITY", "/run/user/1000/xauth"},
                             {"WAYLAND_DISPLAY", ""},
                             {"XDG_RUNTIME_DIR", "/run/user/1000"},
                             {"LD_PRELOAD", "/tmp/evil.so"}};
    const std::string dir = UserDataDirectory(env);
    EXPECT_EQ(dir, "/home/ann/.config/zelkova-user-client");
    EXPECT_EQ(UserDataDirectory({{"XDG_CONFIG_HOME", "/x/cfg"}}), "/x/cfg/zelkova-user-client");
    EXPECT_EQ(UserDataDirectory({{"HOME", "nohome"}}), "");

    const std::vector<std::string> expected = {"/usr/bin/pkexec",
                                               "/usr/bin/zelkova-user-client-launch",
                                               "--root",
                                               "--data-dir",
                                               dir,
                                               "--env",
                                               "DISPLAY=:1",
                                               "--env",
                                               "XAUTHORITY=/run/user/1000/xauth",
                                               "--env",
                                               "XDG_RUNTIME_DIR=/run/user/1000"};
    EXPECT_EQ(PkexecCommand("/usr/bin/pkexec", "/usr/bin/zelkova-user-client-launch", dir, env),
              expected);
    // No XAUTHORITY in an X session: the cookie is in the user's ~/.Xauthority.
    const auto noAuth = PkexecCommand("/usr/bin/pkexec", "/usr/bin/zelkova-user-client-launch", dir,
                                      {{"HOME", "/home/ann"}, {"DISPLAY", ":0"}});
    EXPECT_EQ(noAuth.back(), "XAUTHORITY=/home/ann/.Xauthority");
}

TEST(Launcher, RootSideAcceptsOnlyTheUsersOwnDirectoryAndTheDisplayVariables) {
    TempDir t;
    const uid_t me = ::geteuid();
    RootRequest r;
    std::string error;
    const std::string dir = t.path.string();

    ASSERT_TRUE(ParseRootRequest(
        {"--data-dir", dir, "--env", "DISPLAY=:0", "--env", "WAYLAND_DISPLAY=wayland-0"}, me, r,
        error))
        << error;
    EXPECT_EQ(r.dataDir, dir);
    EXPECT_EQ(r.passed, (Environment{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}));

    fs::create_symlink(t.path, t.path / "link");
    const std::vector<std::vector<std::string>> refused = {
        {"--data-dir", dir, "--env", "LD_PRELOAD=/tmp/x.so"}, // not a display variable
        {"--data-dir", dir, "--env", "XAUTHORITY=relative"},  // not absolute
        {"--data-dir", dir, "--env", "DISPLAY=:0", "--env", "DISPLAY=:1"},
        {"--data-dir", dir, "--hardware", "sim:/etc/shadow"}, // no client options
        {"--data-dir", (t.path / "link").string()},           // a symbolic link
        {"--data-dir", (t.path / "missing").string()},
        {"--data-dir", "relative"},
        {"--data-dir", dir, "--data-dir", dir},
        {"--env", "DISPLAY=:0"}, // no data directory
        {"--data-dir", std::string(5000, '/')},
    };
    for (const auto& args : refused)
        EXPECT_FALSE(ParseRootRequest(args, me, r, error)) << args.back();
    // Somebody else's directory.
    EXPECT_FALSE(ParseRootRequest({"--data-dir", dir}, me + 1, r, error));
}

TEST(Launcher, OwnershipReturnsToTheUserWithoutFollowingLinks) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing owners needs root";
    const uid_t user = 65534;
    const gid_t group = 65534;
    TempDir t;
    const fs::path data = t.path / "data";
    const fs::path outside = t.path / "outside";        // reached through a second name
    const fs::path linkTarget = t.path / "link-target"; // reached through a symbolic link
    fs::create_directories(data / "logs" / "old");
    Touch(data / "user.dat");
    Touch(data / "logs" / "session.log");
    Touch(data / "logs" / "old" / "1.log");
    Touch(outside);
    Touch(linkTarget);
    fs::create_symlink(linkTarget, data / "link-out");       // made by the user
    fs::create_directory_symlink(t.path, data / "dir-link"); // to a root directory
    fs::create_hard_link(outside, data / "hard-link");       // a second name
    Touch(data / "someone-else");
    ASSERT_EQ(::chown((data / "someone-else").c_str(), 4242, 4242), 0);

    const OwnershipPass pass = ReturnOwnership(data.string(), 0, user, group);
    EXPECT_EQ(pass.failed, 0);
    for (const fs::path& p : {data, data / "user.dat", data / "logs", data / "logs/session.log",
                              data / "logs/old", data / "logs/old/1.log"}) {
        EXPECT_EQ(OwnerOf(p), user) << p;
        struct stat st {};
        ::lstat(p.c_str(), &st);
        EXPECT_EQ(st.st_gid, group) << p;
    }
    EXPECT_EQ(OwnerOf(linkTarget), 0u); // not through the link
    EXPECT_EQ(OwnerOf(outside), 0u);    // nor through the second name
    EXPECT_EQ(OwnerOf(t.path), 0u);     // the directory link was not entered
    EXPECT_EQ(OwnerOf(data / "someone-else"), 4242u);

    // A second pass finds nothing left to change.
    const OwnershipPass again = ReturnOwnership(data.string(), 0, user, group);
    EXPECT_EQ(again.failed, 0);
    EXPECT_EQ(again.changed, 0);
}
