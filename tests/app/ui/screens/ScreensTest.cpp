// The technician's instruction screens on the offscreen platform: what each shows in the jumper
// window, and the answer that reaches the technician when the window closes (message 1029).
// With ZKV_SCREENSHOT_DIR set (under Xvfb), screens 4 and 13 are saved there as PNG files.
#include "agent/ui/TerminalAndScreens.h"
#include "sim/DriveTerminal.h"
#include "support/ByteOrder.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/WorkFormSupport.h"
#include "tools/ui/TfrmJumpers.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>

#include <cstdlib>

namespace zkv {
namespace {

using test::SpinUntil;

struct RecordingLink final : ITechnicianLink {
    int routings = 0;
    std::vector<std::string> logs; // CMD_SHOW_LOG texts
    std::string shown;             // CMD_COMPORT_SHOW_DATA texts
    void ApplyReplyRouting() override { ++routings; }
    bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) override {
        if (data.empty() || data.back() != 0)
            return false;
        if (code == CMD_SHOW_LOG)
            logs.emplace_back(data.begin(), data.end() - 1);
        if (code == CMD_COMPORT_SHOW_DATA)
            shown.append(data.begin(), data.end() - 1);
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 4242; }
};

ItemRecord Screen(std::int32_t code, std::vector<std::string> texts = {}) {
    std::vector<std::uint8_t> data;
    ByteWriter w(data);
    w.I32(code);
    for (const auto& t : texts) {
        w.Bytes(t);
        w.U8(0);
    }
    ItemRecord item(CMD_DISPLAY_MESSAGE, kItemFlagWantsReply);
    item.SetData(std::move(data));
    return item;
}

std::vector<std::string> VisiblePictures(TfrmJumpers& w) {
    std::vector<std::string> out;
    for (int i = 0; i < kJumperPictureCount; ++i) {
        QLabel* img = w.Picture(static_cast<JumperPicture>(i));
        if (img->isVisible())
            out.push_back(img->objectName().toStdString());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines)
        out += (out.empty() ? "" : "\n") + l;
    return out;
}

void Snap(TfrmJumpers& w, const char* name) {
    if (const char* dir = std::getenv("ZKV_SCREENSHOT_DIR")) {
        SpinUntil([] { return false; }, 300);
        w.grab().save(QString(dir) + "/" + name);
    }
}

class Screens : public ::testing::Test {
protected:
    Screens() : t("", 0) {}
    TTerminalAndScreens& Parts() { return *t.form->TerminalAndScreens(); }
    TfrmJumpers& Window() { return Parts().Jumpers(); }
    ItemRecord Show(ItemRecord cmd) {
        ItemRecord reply;
        Parts().Screens().Display(cmd, reply, link);
        return reply;
    }
    // Presses `b` (nullptr: closes the window the way Alt+F4 does) and returns what the
    // technician was told, if anything.
    std::string Answer(QPushButton* b) {
        const std::size_t before = link.logs.size();
        if (b)
            b->click();
        else
            Window().close();
        SpinUntil([&] { return link.logs.size() > before; }, 300);
        return link.logs.size() > before ? link.logs.back() : std::string();
    }

    test::FormUnderTest t;
    RecordingLink link;
};

TEST_F(Screens, JumperScreenShowsItsTwoPicturesInTheTallPictureArea) {
    ItemRecord reply = Show(Screen(4));
    EXPECT_EQ(reply.code, COMMAND_OK);
    EXPECT_EQ(reply.dataLength, 0);
    EXPECT_EQ(link.routings, 1);
    ASSERT_TRUE(Window().isVisible());
    EXPECT_FALSE(Window().isModal());
    EXPECT_EQ(Window().windowTitle(), "Message from Technician");
    EXPECT_EQ(VisiblePictures(Window()), (std::vector<std::string>{"imgHDD_WD", "imgSafeWD"}));
    EXPECT_FALSE(Window().Picture(JumperPicture::imgHDD_WD)->pixmap().isNull());
    EXPECT_EQ(Window().Panel1->height(), 145);
    EXPECT_EQ(Window().RichEdit1->toPlainText().toStdString(), Joined(JumperText()));
    EXPECT_EQ(Window().btnDone->text(), "Done");
    EXPECT_EQ(Window().btnICanNot->text(), "I can't");
    EXPECT_FALSE(Window().cbbVendors->isVisible());
    Snap(Window(), "jumpers-screen-4.png");
    EXPECT_EQ(Answer(Window().btnDone), "User reply - DONE.");

    // A text screen folds the picture area away.
    Show(Screen(5));
    EXPECT_EQ(VisiblePictures(Window()), std::vector<std::string>{});
    EXPECT_EQ(Window().Panel1->height(), 0);
    EXPECT_NE(Window().RichEdit1->toPlainText().toStdString().find(
                  "data recovery to https://www.zelkova.example where \n"),
              std::string::npos);
    EXPECT_EQ(Answer(nullptr), "User reply - I CAN NOT.") << "Alt+F4 counts as I can't";
}

TEST_F(Screens, FreeTextScreenShowsTheTechniciansTextAndCaptions) {
    EXPECT_EQ(Show(Screen(12, {"Shall we go on?", "Yes", "No"})).code, COMMAND_OK);
    EXPECT_EQ(Window().RichEdit1->toPlainText(), "Shall we go on?");
    EXPECT_EQ(Window().btnDone->text(), "Yes");
    EXPECT_EQ(Window().btnICanNot->text(), "No");
    EXPECT_TRUE(Window().btnDone->isEnabled());
    EXPECT_TRUE(Window().btnICanNot->isEnabled());
    EXPECT_EQ(Answer(Window().btnICanNot), "User reply - I CAN NOT.");
    // Texts missing from the data: nothing is shown.
    EXPECT_EQ(Show(Screen(12, {"Shall we go on?"})).code, COMMAND_ERROR);
    EXPECT_FALSE(Window().isVisible());
}

TEST_F(Screens, UnknownScreenIsAnErrorAddressedToTheSender) {
    ItemRecord reply = Show(Screen(19));
    EXPECT_EQ(reply.code, COMMAND_ERROR);
    EXPECT_EQ(reply.dataLength, 0);
    EXPECT_EQ(link.routings, 1);
    EXPECT_EQ(Parts().Screens().AnswerDestination(), 4242);
    EXPECT_FALSE(Window().isVisible());
    // Screen 11 shows nothing and leaves the item untouched.
    ItemRecord untouched = Show(Screen(11));
    EXPECT_EQ(untouched.code, 0);
    EXPECT_FALSE(Window().isVisible());
}

TEST_F(Screens, VendorQuestionFillsTheListOnceAndAnswersTheChoice) {
    Show(Screen(13));
    EXPECT_TRUE(Window().cbbVendors->isVisible());
    ASSERT_EQ(Window().cbbVendors->count(), 11);
    EXPECT_EQ(Window().cbbVendors->itemText(0), "Vendor");
    EXPECT_EQ(Window().cbbVendors->itemText(10), "Quantum");
    EXPECT_EQ(Window().btnDone->text(), "OK");
    Snap(Window(), "jumpers-screen-13.png");
    EXPECT_EQ(Answer(Window().btnDone), "User reply - \"Unknown\"");

    Show(Screen(13));
    EXPECT_EQ(Window().cbbVendors->count(), 11) << "a second vendor question adds nothing";
    Window().cbbVendors->setCurrentIndex(7);
    EXPECT_EQ(Answer(Window().btnDone), "User reply - \"Seagate\"");
    Show(Screen(13));
    EXPECT_EQ(Answer(Window().btnICanNot), "User reply - I CAN NOT.");

    // The outcome screens disconnect instead of answering.
    Show(Screen(7));
    EXPECT_FALSE(Window().btnDone->isEnabled());
    EXPECT_EQ(Window().btnICanNot->text(), "OK");
    EXPECT_EQ(Answer(Window().btnICanNot), "");
    EXPECT_FALSE(Window().MessageOpen());
}

TEST(TerminalInTheWindow, TheTerminalsAnswerArrivesThroughTheEventLoop) {
    DriveTerminal terminal;
    terminal.Start();
    TerminalAndScreensSetup setup;
    setup.serialPorts = {terminal.Path()};
    QObject context;
    TTerminalAndScreens parts(&context, setup);
    RecordingLink link;
    auto run = [&](std::int32_t code, std::vector<std::int32_t> values, std::string_view tail) {
        std::vector<std::uint8_t> data;
        ByteWriter w(data);
        for (auto v : values)
            w.I32(v);
        w.Bytes(tail);
        ItemRecord cmd(code, kItemFlagWantsReply), reply;
        cmd.SetData(std::move(data));
        parts.Services().comPort->Handle(cmd, reply, link);
        return reply.code;
    };
    EXPECT_EQ(run(CMD_COMPORT_SET_PARAM, {1, 9600, 1, 8, 0, 0, 1}, {}), COMMAND_OK);
    EXPECT_EQ(run(CMD_COMPORT_DO_COMMAND, {0, 0}, std::string_view("V\r\0", 3)), COMMAND_OK);
    EXPECT_TRUE(
        SpinUntil([&] { return link.shown.find("9600 bit/s\r\nT>") != std::string::npos; }, 3000))
        << link.shown;
}

TEST(JumperWindow, UnattendedAnswersWithItsFirstUsableButton) {
    TfrmJumpers window(true);
    std::vector<std::pair<std::int32_t, std::uint8_t>> answers;
    window.SetOnClosed([&](std::int32_t s, std::uint8_t a) { answers.emplace_back(s, a); });
    DisplayScreens screens(window);
    RecordingLink link;
    ItemRecord reply;
    screens.Display(Screen(0), reply, link);
    ASSERT_TRUE(SpinUntil([&] { return answers.size() == 1; }, 2000));
    EXPECT_EQ(answers[0], (std::pair<std::int32_t, std::uint8_t>{0, 1}));
    screens.Display(Screen(8), reply, link); // its first button is disabled
    ASSERT_TRUE(SpinUntil([&] { return answers.size() == 2; }, 2000));
    EXPECT_EQ(answers[1], (std::pair<std::int32_t, std::uint8_t>{8, 0}));
}

} // namespace
} // namespace zkv
