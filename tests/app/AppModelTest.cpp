// The work form's models: the HTML log, the register lamps, the session log file, the command
// line and the small rules.
#include "app/model/ClientOptions.h"
#include "app/model/LampModel.h"
#include "app/model/LogModel.h"
#include "app/model/SessionLog.h"
#include "app/model/WorkFormRules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace zkv {
namespace {

namespace fs = std::filesystem;

TEST(LogModel, FragmentSplitsLinesAndAddsBreaks) {
    EXPECT_EQ(LogModel::Fragment("a\r\nb", true), "a<br>\r\nb<br>\r\n");
    EXPECT_EQ(LogModel::Fragment("a\nb\rc", false), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(LogModel::Fragment("a\r\n", true), "a<br>\r\n");
    EXPECT_EQ(LogModel::Fragment("a\n\nb", true), "a<br>\r\n<br>\r\nb<br>\r\n");
    EXPECT_EQ(LogModel::Fragment("", true), "");
}

TEST(LogModel, WritesReachEverySinkAndEmptyTextWritesNothing) {
    LogModel log;
    std::vector<std::string> a, b;
    log.AddSink([&](const std::string& f, bool) { a.push_back(f); });
    log.AddSink([&](const std::string& f, bool) { b.push_back(f); });
    log.AddLogText("", true);
    EXPECT_TRUE(a.empty());
    log.AddLogText("one");
    log.AddLogTextBold("two");
    EXPECT_EQ(a, (std::vector<std::string>{"one<br>\r\n", "<b>two</b><br>\r\n"}));
    EXPECT_EQ(a, b);
    EXPECT_EQ(log.Document(), "one<br>\r\n<b>two</b><br>\r\n");
}

TEST(LogModel, ResetCollectsPendingTextAfterTheHeader) {
    LogModel log;
    std::vector<std::pair<std::string, bool>> out;
    log.AddSink([&](const std::string& f, bool h) { out.emplace_back(f, h); });
    log.AddLogText("before");
    ASSERT_TRUE(log.BeginReset());
    EXPECT_FALSE(log.BeginReset()); // a second reset returns at once
    log.AddLogText("x");
    log.AddLogText("y", false);
    log.AddLogText("z");
    EXPECT_EQ(log.PendingText(), "x\r\nyz\r\n");
    EXPECT_EQ(out.size(), 1u);
    log.EndReset();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[1].second);
    EXPECT_EQ(out[1].first, std::string(kLogHeader) + "x\r\nyz\r\n");
    EXPECT_EQ(log.Document(), out[1].first);
    EXPECT_FALSE(log.Resetting());
    EXPECT_TRUE(log.PendingText().empty());
    // A reset with nothing pending writes just the header line.
    log.BeginReset();
    log.EndReset();
    EXPECT_EQ(log.Document(), std::string(kLogHeader) + "\r\n");
}

TEST(LampModel, LayoutAndColours) {
    const auto& lamps = Lamps();
    std::string captions;
    for (const auto& l : lamps)
        captions += std::string(l.caption) + " ";
    EXPECT_EQ(captions, "BSY DRD WFT DSC DRQ COR INX ERR ICRC UNC MC IDNF MCR ABR NM MED ");

    auto c = LampColours(0x50, 0x00);
    for (std::size_t i = 0; i < kLampCount; ++i) {
        const std::string cap = lamps[i].caption;
        EXPECT_EQ(c[i], cap == "DRD" || cap == "DSC" ? LampColour::Green : LampColour::Dark) << cap;
    }
    c = LampColours(0x51, 0x04);
    for (std::size_t i = 0; i < kLampCount; ++i) {
        const std::string cap = lamps[i].caption;
        LampColour want = LampColour::Dark;
        if (cap == "DRD" || cap == "DSC")
            want = LampColour::Green;
        if (cap == "ERR" || cap == "ABR")
            want = LampColour::Red;
        EXPECT_EQ(c[i], want) << cap;
    }
    c = LampColours(0xFF, 0xFF);
    for (std::size_t i = 0; i < kLampCount; ++i)
        EXPECT_EQ(c[i], lamps[i].lit);
}

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zkv-app-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir_;
};

using SessionLogTest = TempDir;

TEST_F(SessionLogTest, EveryFragmentIsOnDiskAtOnce) {
    SessionLog s;
    const std::string dataDir = dir_ + "/data";
    ASSERT_TRUE(s.Open(dataDir)) << s.Error();
    EXPECT_EQ(fs::path(s.Path()).parent_path(), fs::path(dataDir + "/logs"));
    EXPECT_EQ(fs::path(s.Path()).extension(), ".html");
    struct stat st {};
    ASSERT_EQ(stat(s.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    LogModel log;
    log.AddSink([&](const std::string& f, bool h) { s.Append(f, h); });
    log.BeginReset();
    log.EndReset();
    log.AddLogText("first line");
    // Read back while the file is still open: nothing is held in a buffer.
    std::string text = Slurp(s.Path());
    EXPECT_NE(text.find(std::string(kLogHeader)), std::string::npos);
    EXPECT_NE(text.find("first line<br>\r\n"), std::string::npos);

    log.BeginReset();
    log.AddLogText("while clearing");
    log.EndReset();
    log.AddLogText("after");
    text = Slurp(s.Path());
    // The cleared window keeps its history in the file; the header appears only once.
    EXPECT_NE(text.find("first line"), std::string::npos);
    EXPECT_NE(text.find("cleared"), std::string::npos);
    EXPECT_NE(text.find("while clearing\r\n"), std::string::npos);
    EXPECT_NE(text.find("after<br>"), std::string::npos);
    EXPECT_EQ(text.find(std::string(kLogHeader)), text.rfind(std::string(kLogHeader)));
}

TEST_F(SessionLogTest, EachRunGetsItsOwnFile) {
    SessionLog a, b;
    ASSERT_TRUE(a.Open(dir_));
    ASSERT_TRUE(b.Open(dir_));
    EXPECT_NE(a.Path(), b.Path());
    SessionLog bad;
    EXPECT_FALSE(bad.Open("/proc/no/such/place"));
    EXPECT_FALSE(bad.Error().empty());
    bad.Append("ignored", false); // no file: nothing happens
}

TEST(ClientOptions, DefaultsAndValues) {
    auto o = ParseClientOptions({});
    EXPECT_EQ(o.action, ClientOptions::Action::Run);
    EXPECT_EQ(o.dataDir, "");
    EXPECT_EQ(o.hardware, "linux");

    o = ParseClientOptions({"--data-dir", "/d", "--hardware=sim:hw.json"});
    EXPECT_EQ(o.action, ClientOptions::Action::Run);
    EXPECT_EQ(o.dataDir, "/d");
    EXPECT_EQ(o.hardware, "sim:hw.json");
    EXPECT_EQ(ParseClientOptions({"--data-dir=/e"}).dataDir, "/e");
    EXPECT_EQ(ParseClientOptions({"--answer-delay", "1500"}).answerDelayMs, 1500);
    EXPECT_EQ(ParseClientOptions({"--update-keyring", "/k.gpg"}).updateKeyring, "/k.gpg");
    EXPECT_EQ(ParseClientOptions({"--help"}).action, ClientOptions::Action::Help);
    EXPECT_EQ(ParseClientOptions({"--version"}).action, ClientOptions::Action::Version);
    EXPECT_NE(ClientUsage().find("--data-dir"), std::string::npos);
}

TEST(ClientOptions, Errors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--data-dir"},
                                               {"--data-dir="},
                                               {"--update-keyring="},
                                               {"--hardware", "windows"},
                                               {"--hardware", "sim:"},
                                               {"--answer-delay", "-1"},
                                               {"--answer-delay", "2s"},
                                               {"--bogus"},
                                               {"stray"}}) {
        auto o = ParseClientOptions(args);
        EXPECT_EQ(o.action, ClientOptions::Action::Error) << args[0];
        EXPECT_FALSE(o.error.empty());
    }
}

TEST(WorkFormRules, LoginDataCheck) {
    EXPECT_TRUE(LoginDataValid("NoName", "a@b", "482916"));
    EXPECT_FALSE(LoginDataValid("   ", "a@b", "482916"));
    EXPECT_FALSE(LoginDataValid("", "a@b", "482916"));
    EXPECT_FALSE(LoginDataValid("NoName", "ab", "482916"));
    EXPECT_FALSE(LoginDataValid("NoName", "", "482916"));
    EXPECT_FALSE(LoginDataValid("NoName", "a@b", ""));
    EXPECT_TRUE(LoginDataValid(" x ", "@", "0"));
}

TEST(WorkFormRules, VersionAndElapsedTexts) {
    EXPECT_EQ(VersionText(4, 2, 22, 128), "4.2.22:128");
    EXPECT_EQ(ElapsedText(0), "0:00:00");
    EXPECT_EQ(ElapsedText(3723), "1:02:03");
    EXPECT_EQ(ElapsedText(90000), "25:00:00");
    EXPECT_EQ(ElapsedText(-4), "0:00:00");
}

} // namespace
} // namespace zkv
