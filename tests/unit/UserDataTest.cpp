#include "support/UserData.h"
#include "support/AtomicFile.h"
#include "support/ClientSettings.h"
#include "support/DataFile.h"
#include "support/Deployment.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace zkv {
namespace {

using test::TempDir;

void WriteText(const std::filesystem::path& p, const std::string& text) {
    ASSERT_TRUE(WriteFileAtomically(p, text, 0644));
}

std::string ReadText(const std::filesystem::path& p) {
    std::string s;
    EXPECT_TRUE(ReadWholeFile(p, s));
    return s;
}

TEST(UserDataTest, SavedFileHasFourteenCrLfLinesInTableOrderAndMode0600) {
    TempDir dir;
    UserInfo user;
    user.userName = "NoName";
    user.email = "jane@example.org";
    user.password = "482916";
    user.orderNumber = 17;
    ProxySetting proxy;
    proxy.useProxy = true;
    proxy.resolveHostThroughProxy = false;
    proxy.serverHost = "127.0.0.1";
    proxy.proxyHost = "proxy.lan";
    proxy.proxyUserName = "bob";
    proxy.proxyPassword = "s3cret";
    proxy.serverPort = 4636;
    proxy.proxyPort = 1080;
    proxy.proxyKind = TPROXYVersion::SOCKS_4A;

    ::umask(0); // the file must not inherit a permissive umask
    auto file = dir.Path() / "user.dat";
    ASSERT_TRUE(SaveUserData(file, user, proxy));
    ::umask(022);
    EXPECT_EQ(ReadText(file), "NoName\r\njane@example.org\r\n482916\r\n189\r\n17\r\n1\r\n0\r\n"
                              "127.0.0.1\r\nproxy.lan\r\nbob\r\ns3cret\r\n4636\r\n1080\r\n"
                              "SOCKS_4A\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1);

    UserInfo u2;
    ProxySetting p2;
    ASSERT_TRUE(LoadUserData(file, u2, p2));
    EXPECT_EQ(u2.userName, "NoName");
    EXPECT_EQ(u2.email, "jane@example.org");
    EXPECT_EQ(u2.password, "482916");
    EXPECT_EQ(u2.countryCode, 189);
    EXPECT_EQ(u2.orderNumber, 17);
    EXPECT_TRUE(p2.useProxy);
    EXPECT_FALSE(p2.resolveHostThroughProxy);
    EXPECT_EQ(p2.serverHost, "127.0.0.1");
    EXPECT_EQ(p2.proxyHost, "proxy.lan");
    EXPECT_EQ(p2.proxyUserName, "bob");
    EXPECT_EQ(p2.proxyPassword, "s3cret");
    EXPECT_EQ(p2.serverPort, 4636);
    EXPECT_EQ(p2.proxyPort, 1080);
    EXPECT_EQ(p2.proxyKind, TPROXYVersion::SOCKS_4A);
}

TEST(UserDataTest, LineBreaksInsideAFieldCannotShiftTheLines) {
    TempDir dir;
    UserInfo user;
    user.email = "a@b";
    user.password = "1";
    ProxySetting proxy;
    proxy.proxyPassword = "pass\r\nword";
    proxy.proxyKind = TPROXYVersion::HTTP_PROXY;
    auto file = dir.Path() / "user.dat";
    ASSERT_TRUE(SaveUserData(file, user, proxy));
    UserInfo u2;
    ProxySetting p2;
    ASSERT_TRUE(LoadUserData(file, u2, p2));
    EXPECT_EQ(p2.proxyPassword, "password");
    EXPECT_EQ(p2.proxyKind, TPROXYVersion::HTTP_PROXY);
}

TEST(UserDataTest, MissingFileGivesDefaultsButKeepsThePassword) {
    TempDir dir;
    UserInfo user;
    user.userName = "x";
    user.password = "777";
    user.orderNumber = 5;
    ProxySetting proxy;
    proxy.serverPort = 1;
    proxy.proxyKind = TPROXYVersion::SOCKS_5;
    proxy.useProxy = true;
    EXPECT_FALSE(LoadUserData(dir.Path() / "user.dat", user, proxy));
    EXPECT_EQ(user.userName, "");
    EXPECT_EQ(user.password, "777");
    EXPECT_EQ(user.countryCode, 189);
    EXPECT_EQ(user.orderNumber, 0);
    EXPECT_FALSE(proxy.useProxy);
    EXPECT_EQ(proxy.serverHost, kDefaultServerHost);
    EXPECT_EQ(proxy.serverPort, 4636);
    EXPECT_EQ(proxy.proxyPort, 0);
    EXPECT_EQ(proxy.proxyKind, TPROXYVersion::SOCKS_4);
}

TEST(UserDataTest, ThirteenLinesGiveDefaultsWhilePasswordKeepsLineThree) {
    TempDir dir;
    auto file = dir.Path() / "user.dat";
    WriteText(file, "NoName\r\na@b\r\n000123\r\n189\r\n17\r\n1\r\n1\r\nhost\r\nph\r\npu\r\npp\r\n"
                    "4000\r\n1080\r\n");
    UserInfo user;
    user.password = "old";
    ProxySetting proxy;
    EXPECT_FALSE(LoadUserData(file, user, proxy));
    EXPECT_EQ(user.password, "123");
    EXPECT_EQ(user.email, "");
    EXPECT_EQ(user.orderNumber, 0);
    EXPECT_EQ(proxy.serverHost, kDefaultServerHost);
    EXPECT_EQ(proxy.serverPort, 4636);
    EXPECT_EQ(proxy.proxyKind, TPROXYVersion::SOCKS_4);
}

TEST(UserDataTest, LineFourteenMustMatchExactlyOrTheKindStays) {
    TempDir dir;
    auto file = dir.Path() / "user.dat";
    // LF-only line ends are read as well.
    WriteText(file, "u\na@b\n000123\n189\n3\n0\n1\nhost\n\n\n\n4000\n0\nsocks_5\n");
    UserInfo user;
    ProxySetting proxy;
    proxy.proxyKind = TPROXYVersion::HTTP_PROXY;
    EXPECT_TRUE(LoadUserData(file, user, proxy));
    EXPECT_EQ(proxy.proxyKind, TPROXYVersion::HTTP_PROXY);
    EXPECT_EQ(user.password, "123");
    EXPECT_EQ(user.orderNumber, 3);
    EXPECT_TRUE(proxy.resolveHostThroughProxy);
    EXPECT_EQ(proxy.serverHost, "host");
    EXPECT_EQ(proxy.proxyHost, "");
    EXPECT_EQ(proxy.serverPort, 4000);
}

TEST(UserDataTest, ANumberLineThatDoesNotConvertGivesDefaults) {
    TempDir dir;
    auto file = dir.Path() / "user.dat";
    for (const char* port : {"4x", "", "99999999999", "12 "}) {
        WriteText(file, std::string("u\r\na@b\r\n1\r\n189\r\n3\r\n0\r\n0\r\nhost\r\n\r\n\r\n\r\n") +
                            port + "\r\n0\r\nSOCKS_5\r\n");
        UserInfo user;
        ProxySetting proxy;
        EXPECT_FALSE(LoadUserData(file, user, proxy)) << port;
        EXPECT_EQ(proxy.serverHost, kDefaultServerHost) << port;
        EXPECT_EQ(proxy.proxyKind, TPROXYVersion::SOCKS_4) << port;
    }
}

TEST(UserDataTest, SavingIntoAMissingDirectoryFailsAndSaysSo) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(SaveUserData(dir.Path() / "no" / "user.dat", UserInfo{}, ProxySetting{}, &error));
    EXPECT_FALSE(error.empty());
}

TEST(IniFileTest, ReadsWindowsSyntaxAndKeepsWhatItDoesNotTouch) {
    IniFile ini;
    ini.Parse("; leading comment\r\n[MAIN]\r\nLogColor = 0xFF \r\n\r\n[Seans Data]\n"
              "orderid=12\nLogPath=\"C:\\logs\\x\"\nbad=12abc\n");
    EXPECT_EQ(ini.ReadInteger("main", "logcolor", 0), 255);
    EXPECT_EQ(ini.ReadInteger("SEANS DATA", "OrderID", 0), 12);
    EXPECT_EQ(ini.ReadString("SEANS DATA", "LogPath", ""), "C:\\logs\\x");
    EXPECT_EQ(ini.ReadInteger("SEANS DATA", "bad", -1), -1);
    EXPECT_EQ(ini.ReadInteger("SEANS DATA", "missing", 9), 9);
    EXPECT_EQ(ini.ReadString("NOPE", "x", "dflt"), "dflt");

    ini.WriteInteger("SEANS DATA", "OrderID", 13);
    ini.WriteString("SEANS DATA", "SeansID", "5");
    ini.WriteString("New", "Key", "two\r\nlines");
    EXPECT_EQ(ini.Text(), "; leading comment\r\n[MAIN]\r\nLogColor=0xFF\r\n\r\n[Seans Data]\r\n"
                          "orderid=13\r\nLogPath=\"C:\\logs\\x\"\r\nbad=12abc\r\nSeansID=5\r\n"
                          "[New]\r\nKey=two  lines\r\n");
}

TEST(IniFileTest, SaveAndLoadGoThroughTheFileAtomically) {
    TempDir dir;
    IniFile a(dir.Path() / "UserSetup.ini");
    ASSERT_TRUE(a.Load()); // a missing file is an empty one
    a.WriteInteger("SEANS DATA", "Flags", -3);
    ASSERT_TRUE(a.Save());
    IniFile b(dir.Path() / "UserSetup.ini");
    ASSERT_TRUE(b.Load());
    EXPECT_EQ(b.ReadInteger("SEANS DATA", "Flags", 0), -3);
    // A path that exists but cannot be read as a file is a failure, not an empty file.
    IniFile c(dir.Path());
    EXPECT_FALSE(c.Load());
}

TEST(RebootFlagsTest, FirstRunDefaultsRoundTripAndUnreadableValues) {
    TempDir dir;
    DataDirectory d{dir.Path()};
    ClientSettings s;
    s.WasReboot = true;
    s.Automat = false;
    EXPECT_FALSE(LoadRebootFlags(d.RebootState(), s));
    EXPECT_FALSE(s.WasReboot);
    EXPECT_TRUE(s.Automat);

    s.WasReboot = true;
    s.Automat = false;
    ASSERT_TRUE(SaveRebootFlags(d.RebootState(), s));
    ClientSettings t;
    EXPECT_TRUE(LoadRebootFlags(d.RebootState(), t));
    EXPECT_TRUE(t.WasReboot);
    EXPECT_FALSE(t.Automat);

    WriteText(d.RebootState(), "[ZkvUser]\r\nWasReboot=1\r\nAutomat=maybe\r\n");
    EXPECT_FALSE(LoadRebootFlags(d.RebootState(), t));
    EXPECT_FALSE(t.WasReboot);
    EXPECT_TRUE(t.Automat);
}

TEST(RebootFlagsTest, LogColourDefaultsWhenFileOrKeyIsMissing) {
    TempDir dir;
    DataDirectory d{dir.Path()};
    EXPECT_EQ(LoadLogColor(d.UserSetup()), 15780518);
    WriteText(d.UserSetup(), "[MAIN]\r\nOther=1\r\n");
    EXPECT_EQ(LoadLogColor(d.UserSetup()), 15780518);
    WriteText(d.UserSetup(), "[MAIN]\r\nLogColor=255\r\n");
    EXPECT_EQ(LoadLogColor(d.UserSetup()), 255);
}

} // namespace
} // namespace zkv

namespace zkv {
namespace {

// The data directory is the user's: a link to a secret file, a FIFO or an oversized file under
// the name of user.dat, UserSetup.ini or placement.ini is treated as absent, logged, and never
// blocks the reader.
TEST(DataFileTest, LinksFifosAndOversizedFilesAreAbsent) {
    TempDir dir;
    DataDirectory d{dir.Path()};
    const std::filesystem::path secret = dir.Path() / "secret";
    WriteText(secret, "[MainForm]\r\nWidth=777\r\nroot:$6$hash\r\n");
    std::filesystem::create_symlink(secret, d.Placement());
    std::filesystem::create_symlink(secret, d.UserData());
    ASSERT_EQ(::mkfifo(d.UserSetup().c_str(), 0600), 0);
    WriteText(d.RebootState(), std::string(kMaxDataFileBytes + 1, ';'));
    std::vector<std::string> logged;
    SetDataFileLog([&](const std::string& line) { logged.push_back(line); });

    IniFile placement(d.Placement());
    EXPECT_FALSE(placement.Load());
    EXPECT_FALSE(placement.HasSection("MainForm"));
    UserInfo user;
    ProxySetting proxy;
    EXPECT_FALSE(LoadUserData(d.UserData(), user, proxy));
    EXPECT_EQ(user.email, "");    // the defaults, nothing of the secret
    IniFile setup(d.UserSetup()); // a FIFO nobody writes: returns at once
    EXPECT_FALSE(setup.Load());
    EXPECT_EQ(LoadLogColor(d.UserSetup()), kDefaultLogColor);
    IniFile reboot(d.RebootState());
    EXPECT_FALSE(reboot.Load());
    std::string content;
    EXPECT_EQ(ReadDataFile(dir.Path() / "missing", content), DataFileStatus::Absent);
    SetDataFileLog({});

    ASSERT_EQ(logged.size(), 5u);
    EXPECT_EQ(logged[0], "Ignoring " + d.Placement().string() + ": a symbolic link");
    EXPECT_EQ(logged[2], "Ignoring " + d.UserSetup().string() + ": a FIFO");
    EXPECT_NE(logged[4].find("larger than"), std::string::npos);
    EXPECT_EQ(ReadText(secret).find("777") != std::string::npos, true); // the target untouched
}

} // namespace
} // namespace zkv
