// The selection form over the simulated controllers. With ZKV_SCREENSHOT_DIR set (and a real
// display, e.g. under xvfb-run) the form and a detection question are saved as PNG files.
#include "controllers/ControllerList.h"
#include "controllers/HddDetection.h"
#include "controllers/ui/TfrmController.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "support/Deployment.h"
#include "tools/MessageDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>

namespace zkv {
namespace {

constexpr const char* kHardware = R"({"channels": [
    {"command_block": 496, "control_block": 1014,
     "master": {"type": "disk", "model": "FORM DISK", "serial": "F100", "firmware": "3.1"}},
    {"command_block": 368, "control_block": 886}],
  "controllers": [
    {"address": "0000:00:01.1", "description": "82371SB PIIX3 IDE [Natoma/Triton II]"},
    {"address": "0000:00:0a.0", "vendor": "1095", "device": "0680", "driver": "",
     "description": "PCI0680 Ultra ATA-133 Host Controller", "channels": [-1, -1]},
    {"address": "0000:00:1f.2", "kind": "ahci", "in_use": true,
     "description": "82801IR/IO/IH (ICH9R/DO/DH) 6 port SATA Controller [AHCI mode]"}]})";

struct Rig {
    Rig() : cfg(ParseSimHardware(kHardware)), hw(cfg), setup(cfg), list(setup, hw, hw.Clock()) {}
    SimHardwareConfig cfg;
    SimIdeHardware hw;
    SimDeviceSetup setup;
    TClassInfoList list;
};

void Save(QWidget& w, const char* name) {
    const char* dir = std::getenv("ZKV_SCREENSHOT_DIR");
    if (!dir)
        return;
    w.show();
    w.raise();
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents();
    QPixmap shot = w.screen()->grabWindow(0, w.frameGeometry().x(), w.frameGeometry().y(),
                                          w.frameGeometry().width(), w.frameGeometry().height());
    ASSERT_TRUE(shot.save(QString(dir) + "/" + name));
}

TEST(ControllerForm, ShowsTheTreeAndTakesTheChosenChannel) {
    Rig r;
    TChannelChoice outcome;
    std::vector<std::string> log;
    TfrmController form(&r.list, outcome, [&](const std::string& t) { log.push_back(t); });
    EXPECT_EQ(form.windowTitle(), "IDE/SATA/RAID controllers list");
    EXPECT_EQ(form.size(), QSize(442, 262));
    EXPECT_EQ(form.lblHint->text(), "Select controller and press 'Detect' button.");
    ASSERT_EQ(form.TreeView1->topLevelItemCount(), 3);
    QTreeWidgetItem* piix = form.TreeView1->topLevelItem(0);
    EXPECT_EQ(piix->text(0), "82371SB PIIX3 IDE [Natoma/Triton II]");
    ASSERT_EQ(piix->childCount(), 2);
    EXPECT_EQ(piix->child(0)->text(0), "Primary IDE Channel");
    EXPECT_EQ(piix->child(1)->text(0), "Secondary IDE Channel");
    EXPECT_FALSE(piix->isExpanded()); // only the last controller is opened
    EXPECT_TRUE(form.TreeView1->topLevelItem(1)->isExpanded());
    EXPECT_TRUE(form.TreeView1->topLevelItem(1)->toolTip(0).contains("disabled"));
    EXPECT_EQ(form.TreeView1->topLevelItem(2)->text(0).left(6), "82801I");
    EXPECT_TRUE(form.TreeView1->topLevelItem(2)->toolTip(0).contains("cannot be disabled"));
    // The pictures differ by meaning, and the overlays change them.
    const QImage controller = TfrmController::Picture(ControllerNode::kController).toImage();
    EXPECT_NE(controller, TfrmController::Picture(ControllerNode::kRaid).toImage());
    const QImage disk = TfrmController::Picture(ControllerNode::kPassThroughDisk).toImage();
    EXPECT_NE(disk, controller);
    EXPECT_NE(disk, TfrmController::Picture(ControllerNode::kRaid).toImage());
    ControllerNode plain, fixed;
    fixed.notDisableable = true;
    EXPECT_NE(TfrmController::NodeIcon(plain).pixmap(32).toImage(),
              TfrmController::NodeIcon(fixed).pixmap(32).toImage());

    form.TreeView1->setCurrentItem(piix->child(0));
    Save(form, "controller-selection-form.png");
    form.btnDetect->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(log, (std::vector<std::string>{"Trying to disable chosen IDE channel.",
                                             "Chosen IDE channel is disabled."}));
    // The tree was filled again: the taken function's entries show the disabled overlay.
    EXPECT_TRUE(form.TreeView1->topLevelItem(0)->child(0)->toolTip(0).contains("disabled"));

    TChannelChoice none;
    TfrmController empty(nullptr, none, {});
    EXPECT_FALSE(empty.btnDetect->isEnabled());
    empty.btnCancel->click();
    EXPECT_EQ(none.message, "Cancelled by user.");
}

// A double-click on a controller entry opens or closes it and takes nothing; on an entry that
// is refused, the refusal offers Help with the setup-instructions page; on a channel it is
// Detect.
TEST(ControllerForm, DoubleClickOpensAControllerAndDetectsAChannel) {
    Rig r;
    TChannelChoice outcome;
    std::vector<std::string> log;
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    TfrmController form(&r.list, outcome, [&](const std::string& t) { log.push_back(t); });
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    auto doubleClick = [&](QTreeWidgetItem* item) {
        form.TreeView1->scrollToItem(item);
        const QPoint at = form.TreeView1->visualItemRect(item).center();
        // What a person's double-click delivers: press, release, double-click, release.
        QWidget* v = form.TreeView1->viewport();
        QTest::mouseClick(v, Qt::LeftButton, {}, at);
        QTest::mouseDClick(v, Qt::LeftButton, {}, at);
        QTest::mouseRelease(v, Qt::LeftButton, {}, at);
        QApplication::processEvents();
    };
    QTreeWidgetItem* piix = form.TreeView1->topLevelItem(0);
    ASSERT_FALSE(piix->isExpanded());
    doubleClick(piix);
    EXPECT_TRUE(piix->isExpanded());
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(dlg.ShownSoFar().empty());
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(r.list.Classes()[0]->Entries()[0]->Disabled);

    dlg.Push(mrOK); // the refusal: choose again
    doubleClick(form.TreeView1->topLevelItem(2));
    ASSERT_EQ(dlg.ShownSoFar().size(), 1u);
    EXPECT_EQ(dlg.ShownSoFar()[0].request.needHelp, 1);
    EXPECT_EQ(dlg.ShownSoFar()[0].request.helpLink, SetupInstructionsAddress());
    EXPECT_TRUE(form.isVisible());

    doubleClick(form.TreeView1->topLevelItem(0)->child(0));
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(log.back(), "Chosen IDE channel is disabled.");
}

// Shows a detection question the way a message box would, for the picture only.
struct PictureDialog final : IMessageDialog {
    std::int32_t Show(TMessageDlgData& request, TAddMsgData& extra) override {
        QMessageBox box;
        box.setWindowTitle("Zelkova User Client");
        box.setIcon(QMessageBox::Information);
        box.setText(QString::fromStdString(request.text).replace("\r\n", "\n"));
        if (request.buttons & mb::OK)
            box.addButton(QMessageBox::Ok);
        if (request.buttons & mb::Retry)
            box.addButton(QMessageBox::Retry);
        if (request.buttons & mb::Cancel)
            box.addButton(QMessageBox::Cancel);
        if (request.needHelp)
            box.addButton(QMessageBox::Help);
        if (!extra.items.empty()) {
            auto* grid = qobject_cast<QGridLayout*>(box.layout());
            auto* combo = new QComboBox(&box);
            for (const auto& i : extra.items)
                combo->addItem(QString::fromStdString(i));
            grid->addWidget(new QLabel(QString::fromStdString(extra.caption), &box),
                            grid->rowCount(), 1);
            grid->addWidget(combo, grid->rowCount(), 1);
        }
        Save(box, "detection-message.png");
        shown = request.text;
        return mrCancel;
    }
    std::string shown;
};

struct Host final : IDetectionHost {
    Rig& rig;
    explicit Host(Rig& r) : rig(r) {}
    void Log(const std::string&) override {}
    void ShowProgress(int) override {}
    void ShowDriveName(const std::string&) override {}
    void StartStatusTimer() override {}
    void ChooseChannel(TClassInfoList& list, TChannelChoice& outcome) override {
        TControllerFormModel m(&list, outcome, {});
        m.Detect(list.FindByKey("pci-0000:00:01.1\\1"));
    }
    bool WasReboot() override { return false; }
    void SetRebootPending(bool) override {}
    void CloseMainWindow() override {}
};

TEST(ControllerForm, DetectionQuestionPicture) {
    Rig r;
    Host host(r);
    SharedFlags flags;
    THddDetection detection(r.list, host, "/nonexistent/UserSetup.ini", nullptr, flags);
    PictureDialog dlg;
    ScopedMessageDialog scope(dlg);
    EXPECT_EQ(detection.DetectHDD(), 0);
    EXPECT_EQ(
        dlg.shown.rfind("HDD FORM DISK F100 3.1 detected on the selected channel as Master.", 0),
        0u);
}

} // namespace
} // namespace zkv
