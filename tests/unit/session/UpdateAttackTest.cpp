// Attacks on the update path, each tried from outside against the real zelkova-update: real
// packages built with dpkg-deb, signatures made with a throwaway gpg key and checked with gpgv.
// The root side is run as pkexec leaves it (PKEXEC_UID set) from a staged installation that
// holds the test key as its shipped keyring; no test installs anything.
#include "tests/support/ClientHarness.h"
#include "tests/unit/session/UpdateSigning.h"
#include "tools/UpdatePackage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zkv {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

struct Update {
    test::TempDir dir;
    test::SigningKey key{dir.Path() / "key"};
    test::SigningKey foreign{dir.Path() / "foreign"};
    fs::path downloads = dir.Path() / "downloads";
    fs::path staged = dir.Path() / "usr" / "bin" / "zelkova-update";

    Update() {
        fs::create_directories(downloads);
        // An installation of the program with the test key as its shipped keyring.
        fs::create_directories(staged.parent_path());
        fs::create_directories(dir.Path() / "usr/share/zelkova-user-client");
        fs::copy_file(ZKV_UPDATE_PROGRAM, staged);
        if (key.Ok())
            fs::copy_file(key.Keyring(),
                          dir.Path() / "usr/share/zelkova-user-client" / kUpdateKeyringFileName);
    }

    // A package in the downloads folder, signed by `signer` (none: unsigned).
    fs::path Package(const std::string& file, const std::string& name, const std::string& version,
                     const test::SigningKey* signer) {
        const fs::path p = downloads / file;
        EXPECT_TRUE(test::BuildPackage(p, name, version));
        if (signer) {
            EXPECT_TRUE(signer->Sign(p));
        }
        return p;
    }
    fs::path Good(const std::string& file = "zelkova-user-client_99.0_all.deb") {
        return Package(file, kClientPackageName, "99.0", &key);
    }

    // Runs `program` with `args`; with `pkexecUid` set, as pkexec leaves its program.
    Outcome Run(const fs::path& program, const std::vector<std::string>& args,
                bool pkexec = false) {
        const fs::path out = dir.Path() / "out", err = dir.Path() / "err";
        std::vector<std::string> argv = {program.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> a;
        for (auto& s : argv)
            a.push_back(s.data());
        a.push_back(nullptr);
        std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
        if (pkexec)
            env.push_back("PKEXEC_UID=65534");
        std::vector<char*> e;
        for (auto& s : env)
            e.push_back(s.data());
        e.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        Outcome o;
        if (posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data()) == 0) {
            int st = 0;
            waitpid(pid, &st, 0);
            o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        posix_spawn_file_actions_destroy(&fa);
        o.out = ReadAll(out);
        o.err = ReadAll(err);
        return o;
    }
    Outcome Check(const fs::path& package) {
        return Run(ZKV_UPDATE_PROGRAM,
                   {"--keyring", key.Keyring().string(), "--check", package.string()});
    }
    bool CanStage() const { return ::geteuid() == 0 && key.Ok(); }
};

std::string Field(const std::string& json, const std::string& name) {
    std::smatch m;
    if (std::regex_search(json, m, std::regex("\"" + name + "\":(\"[^\"]*\"|true|false)")))
        return m[1];
    return "?";
}

TEST(UpdateAttack, SignedNewerPackageIsAcceptedBinaryOrArmoured) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    const fs::path deb = u.Good();
    Outcome o = u.Check(deb);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_EQ(Field(o.out, "ok"), "true");
    EXPECT_EQ(Field(o.out, "package"), "\"zelkova-user-client\"");
    EXPECT_EQ(Field(o.out, "version"), "\"99.0\"");
    EXPECT_TRUE(std::regex_match(Field(o.out, "signer"), std::regex("\"[0-9A-F]{40}\""))) << o.out;
    EXPECT_EQ(Field(o.out, "reason"), "\"\"");
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1);

    ASSERT_TRUE(u.key.Sign(deb, true));
    EXPECT_NE(ReadAll(deb.string() + ".sig").find("BEGIN PGP SIGNATURE"), std::string::npos);
    EXPECT_EQ(u.Check(deb).status, 0);
    if (u.CanStage()) { // the root side, through pkexec, with the shipped keyring
        o = u.Run(u.staged, {"--check", deb.string()}, true);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
    }
    // A usage error is 2.
    EXPECT_EQ(u.Run(ZKV_UPDATE_PROGRAM, {"--check", deb.string(), "extra"}).status, 2);
}

TEST(UpdateAttack, TamperedPackageIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    const fs::path deb = u.Good();
    std::string bytes = ReadAll(deb);
    bytes[bytes.size() / 2] ^= 0x01;
    std::ofstream(deb, std::ios::binary | std::ios::trunc) << bytes;
    const Outcome o = u.Check(deb);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Field(o.out, "ok"), "false");
    EXPECT_EQ(Field(o.out, "signer"), "\"\"");
    EXPECT_NE(o.out.find("altered"), std::string::npos) << o.out;
}

TEST(UpdateAttack, UnsignedPackageIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    const fs::path deb =
        u.Package("zelkova-user-client_99.0_all.deb", kClientPackageName, "99.0", nullptr);
    Outcome o = u.Check(deb);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("no usable signature"), std::string::npos) << o.out;
    // A signature file that holds no signature.
    std::ofstream(deb.string() + ".sig") << "not a signature\n";
    o = u.Check(deb);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Field(o.out, "signer"), "\"\"");
    EXPECT_EQ(Field(o.out, "package"), "\"\""); // nothing unverified is read
}

TEST(UpdateAttack, PackageSignedByAnotherKeyIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok() && u.foreign.Ok());
    const fs::path deb =
        u.Package("zelkova-user-client_99.0_all.deb", kClientPackageName, "99.0", &u.foreign);
    const Outcome o = u.Check(deb);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("not signed by a key of the update keyring"), std::string::npos) << o.out;
}

TEST(UpdateAttack, SignedPackageOfAnotherNameIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    const fs::path deb = u.Package("zelkova-user-client_99.0_all.deb", "evil-tool", "99.0", &u.key);
    const Outcome o = u.Check(deb);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Field(o.out, "package"), "\"evil-tool\"");
    EXPECT_NE(o.out.find("not zelkova-user-client"), std::string::npos) << o.out;
}

TEST(UpdateAttack, SignedOlderOrSameVersionIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    for (const std::string& version : {std::string("0.0.9"), BuiltPackageVersion()}) {
        const fs::path deb = u.Package("zelkova-user-client_" + version + "_all.deb",
                                       kClientPackageName, version, &u.key);
        const Outcome o = u.Check(deb);
        EXPECT_EQ(o.status, 1) << version;
        EXPECT_NE(o.out.find("is not newer than " + BuiltPackageVersion()), std::string::npos)
            << o.out;
    }
}

TEST(UpdateAttack, SwappedPackageIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    // A link to a properly signed package elsewhere: never followed.
    const fs::path good = u.Good();
    const fs::path link = u.downloads / "zelkova-user-client_98.0_all.deb";
    fs::create_symlink(good, link);
    fs::create_symlink(good.string() + ".sig", link.string() + ".sig");
    Outcome o = u.Check(link);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("symbolic link"), std::string::npos) << o.out;
    // A FIFO in its place: refused at once, never waited on.
    const fs::path fifo = u.downloads / "zelkova-user-client_97.0_all.deb";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    o = u.Check(fifo);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("not a regular file"), std::string::npos) << o.out;

    // Replaced after the client checked it, before the root side installs: the root side
    // checks its own copy and refuses.
    if (!u.CanStage())
        GTEST_SKIP() << "the root side's checks need root";
    ASSERT_EQ(u.Check(good).status, 0);
    std::string bytes = ReadAll(good);
    bytes[bytes.size() - 10] ^= 0x20;
    std::ofstream(good, std::ios::binary | std::ios::trunc) << bytes;
    o = u.Run(u.staged, {good.string()}, true);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("zelkova-update: refused: the signature does not match"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err; // one clear line
    o = u.Run(u.staged, {link.string()}, true);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("symbolic link"), std::string::npos) << o.err;
}

TEST(UpdateAttack, ThroughPkexecNothingNamesAProgramOrAKeyring) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    const fs::path deb = u.Good();
    const fs::path ran = u.dir.Path() / "ran-as-root";
    const std::string lock = (u.dir.Path() / "lock").string();
    const std::vector<std::vector<std::string>> attempts = {
        {"--keyring", u.foreign.Keyring().string(), "--check", deb.string()},
        {"--keyring", u.foreign.Keyring().string(), deb.string()},
        {"--package-command", "/usr/bin/touch", deb.string()},
        {lock, deb.string(), "/usr/bin/touch", ran.string()},
        {lock, deb.string() + " /SP- /SILENT /NOCANCEL"},
    };
    for (const auto& args : attempts) {
        const Outcome o = u.Run(ZKV_UPDATE_PROGRAM, args, true);
        EXPECT_EQ(o.status, 2) << args[0] << ": " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
    EXPECT_FALSE(fs::exists(ran));
}

TEST(UpdateAttack, BuiltWithoutAKeyringEveryUpdateIsRefused) {
    Update u;
    ASSERT_TRUE(u.key.Ok());
    // The build tree's program ships no keyring.
    const Outcome o = u.Run(ZKV_UPDATE_PROGRAM, {"--check", u.Good().string()});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Field(o.out, "reason"), std::string("\"") + kUpdCannotVerify + "\"");
}

// gpgv, dpkg-deb and apt-get run with a time limit and a bound on what they write.
TEST(UpdateAttack, OutsideProgramsAreBoundedInTimeAndOutput) {
    std::string out, error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram({"/bin/sleep", "30"}, {}, 1, &out, 100, false, &error), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(error.find("ran longer than 1 s"), std::string::npos) << error;
    EXPECT_EQ(RunProgram({"/usr/bin/yes"}, {}, 10, &out, 4096, false, &error), -1);
    EXPECT_NE(error.find("wrote more than 4096 bytes"), std::string::npos) << error;
    EXPECT_EQ(
        RunProgram({"/bin/sh", "-c", "echo $PATH"}, {"PATH=/only"}, 10, &out, 100, false, &error),
        0);
    EXPECT_EQ(out, "/only\n"); // nothing of the caller's environment
}

} // namespace
} // namespace zkv
