// The scan window driven by a real scan on the simulated drive, through Qt's main thread.
#include "tests/app/ui/WorkFormSupport.h"
#include "tests/unit/scan/ScanSupport.h"
#include "tools/MessageDialog.h"
#include "tools/ui/TfrmScanView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace zkv {
namespace {

// A drive whose blocks fall into every class: slow sectors for the read-time classes, a stall,
// and UNC, IDNF and ABRT sectors; the scan window's host over it.
struct ViewLab : test::ScanDrive {
    ViewLab(int blocks, bool realClock) : ScanDrive(Drive(blocks), realClock) {
        host.SetDeviceSource([this] { return lab.dev.get(); });
        host.SetLink(&link);
    }
    static SimDeviceConfig Drive(int blocks) {
        SimDeviceConfig d = test::Disk();
        const std::uint32_t ms[] = {2, 3, 6, 12, 24, 40};
        for (int b = 3; b < blocks; b += 9)
            d.slow.push_back({std::uint64_t(b) * 256 + 7, 1, ms[(b / 9) % 6]});
        for (int b = 5; b < blocks; b += 97) {
            const auto kind = static_cast<SimDefectKind>((b / 97) % 3);
            d.defects.push_back({std::uint64_t(b) * 256 + 11, kind});
        }
        return d;
    }
    bool Start(int blocks) {
        ScanSurfaceParams p = test::Params(0, blocks * 256);
        p.timeout = {1, 2, 4, 8, 16, 32};
        p.sliceMs = 40;
        auto bytes = p.Encode();
        return host.Service().StartScan(bytes, 5);
    }

    TScanSurfaceHost host;
};

TEST(ScanView, MapSummaryReportAndOneRepaintPerBatch) {
    ViewLab v(400, false);
    TfrmScanResult& w = v.host.View();
    EXPECT_EQ(w.windowTitle(), "Drive Surface scan");
    EXPECT_FALSE(w.isVisible());
    ASSERT_TRUE(v.Start(400));
    EXPECT_TRUE(w.isVisible()); // the start shows the window
    QApplication::processEvents();
    const int paintsAtStart = w.pbMap->Paints();
    ASSERT_TRUE(v.host.Service().WaitForEnd(std::chrono::seconds(60)));
    const ScanViewModel& m = v.host.Service().Model();
    EXPECT_EQ(w.pbMap->Paints() - paintsAtStart, static_cast<int>(m.Batches()));
    EXPECT_EQ(w.lblRectangle->text(), "One rectangle is equal to 256 sectors");
    ASSERT_EQ(w.vleSummary->rowCount(), 17);
    EXPECT_EQ(w.vleSummary->item(6, 0)->text(), "Timeout 1 ");
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(w.vleSummary->item(i, 1)->text().toStdString(),
                  m.SummaryValues()[std::size_t(i)]);
    ASSERT_EQ(w.sgReport->rowCount(), static_cast<int>(m.Report().size()));
    ASSERT_GE(w.sgReport->rowCount(), 4);
    EXPECT_EQ(w.sgReport->item(0, 0)->text(), QString::number(5 * 256 + 11));
    EXPECT_EQ(w.sgReport->horizontalHeaderItem(4)->text(), "Control Read result");
    EXPECT_EQ(w.pbProgress->value(), 0); // the end handler
    int used = 0;
    for (std::uint8_t c : m.Map().Cells())
        used += c != 0;
    EXPECT_EQ(used, 400);
    EXPECT_EQ(w.pcTabs->tabText(0), "Graphics");
    EXPECT_EQ(w.pcTabs->tabText(2), "Report");
}

TEST(ScanView, CloseAsksBeforeStoppingTheScan) {
    ScriptedMessageDialog dialog;
    ScopedMessageDialog scoped(dialog);
    ViewLab v(3000, true);
    TfrmScanResult& w = v.host.View();
    ASSERT_TRUE(v.Start(3000));
    dialog.Push(mrNo);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(v.host.Service().ScanRunning());
    dialog.Push(mrYes);
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    ASSERT_TRUE(v.host.Service().WaitForEnd(std::chrono::seconds(30)));
    EXPECT_TRUE(v.host.Service().LastStopped());
    auto shown = dialog.ShownSoFar();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].request.text, "Do you want to stop scan?");
    EXPECT_EQ(shown[0].request.kind, MsgDlgType::Confirmation);
    EXPECT_EQ(shown[0].request.buttons, mb::Yes | mb::No);
    std::lock_guard g(v.link.lock);
    ASSERT_FALSE(v.link.packets.empty());
    EXPECT_TRUE(v.link.packets.back().over);
}

// The work form's scan: due results leave through its message 1027; closing the window stops
// the scan.
TEST(ScanView, WorkFormForwardsResultsAndStopsTheScanOnClose) {
    test::FormUnderTest f("127.0.0.1", 9);
    test::ScanDrive d(ViewLab::Drive(3000), true);
    TScanSurfaceHost& scan = f.form->Scan();
    scan.SetDeviceSource([&] { return d.lab.dev.get(); });
    scan.SetLink(&d.link);
    ScanSurfaceParams p = test::Params(0, 3000 * 256);
    p.sliceMs = 20;
    ASSERT_TRUE(scan.Service().StartScan(p.Encode(), 9));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (scan.Service().Model().Batches() < 3 && std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    QCloseEvent close;
    QApplication::sendEvent(f.form.get(), &close);
    ASSERT_TRUE(scan.Service().WaitForEnd(std::chrono::seconds(30)));
    EXPECT_TRUE(scan.Service().LastStopped());
    std::lock_guard g(d.link.lock);
    EXPECT_GE(d.link.packets.size(), 3u); // one per slice, through 1027
    EXPECT_TRUE(d.link.packets.back().over);
}

// ZKV_SCAN_SCREENSHOT=FILE: the window during a scan with blocks of every class, saved as PNG.
TEST(ScanView, Screenshot) {
    const char* file = std::getenv("ZKV_SCAN_SCREENSHOT");
    if (!file)
        GTEST_SKIP() << "set ZKV_SCAN_SCREENSHOT to take the screenshot";
    ViewLab v(3000, true);
    TfrmScanResult& w = v.host.View();
    ASSERT_TRUE(v.Start(3000));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (v.host.Service().Model().Progress() < 62 && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int i = 0; i < 20; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(w.grab().save(QString::fromUtf8(file), "PNG"));
    v.host.StopScan();
    ASSERT_TRUE(v.host.Service().WaitForEnd(std::chrono::seconds(30)));
}

} // namespace
} // namespace zkv
