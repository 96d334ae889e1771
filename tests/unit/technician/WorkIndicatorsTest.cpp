// The work form's lamps, progress and log, without a window, fed as the window feeds them: the
// ATA worker's host calls from a real worker running a batch on the simulated drive, and the
// register poll reading that drive.
#include "app/model/WorkIndicators.h"
#include "app/model/LogModel.h"
#include "tests/unit/technician/TechFixture.h"

#include <gtest/gtest.h>

#include <thread>

namespace zkv {
namespace {

using namespace std::chrono_literals;
using namespace test;

struct RecordingView : IIndicatorView {
    struct Shown {
        ProgressState progress;
        bool showOrHide;
    };
    void ShowLamps(const std::array<LampColour, kLampCount>& colours) override {
        lit.clear();
        for (std::size_t i = 0; i < kLampCount; ++i)
            if (colours[i] != LampColour::Dark)
                lit += std::string(zkv::Lamps()[i].caption) +
                       (colours[i] == LampColour::Green ? "=green " : "=red ");
    }
    void ShowProgress(const ProgressState& p, bool showOrHide) override {
        progress.push_back({p, showOrHide});
    }
    std::string lit;
    std::vector<Shown> progress;
};

// The worker's host as the work form is: progress to the indicators, log lines to the log.
struct IndicatorHost : IAtaWorkerHost {
    IndicatorHost(WorkIndicators& i, LogModel& l) : indicators(i), log(l) {}
    void AtaProgressStart() override { indicators.ProgressStart(); }
    void AtaProgressStep(int percent) override { indicators.ProgressStep(percent); }
    void AtaProgressStop() override { indicators.ProgressStop(); }
    bool SendAtaReply(PacketRecord&) override {
        ++replies;
        return true;
    }
    void AtaLog(std::string_view text) override { log.AddLogText(text, true); }
    WorkIndicators& indicators;
    LogModel& log;
    int replies = 0;
};

TEST(WorkIndicators, FollowTheAtaWorkerAndTheDrivesRegisters) {
    SimDeviceConfig disk = Disk();
    disk.defects.push_back({1000, SimDefectKind::UNC});
    Lab lab{disk};
    lab.flags.SetDeviceReady();
    QueuedMainThread main;
    WorkIndicators indicators;
    RecordingView view;
    indicators.SetView(&view);
    LogModel log;
    IndicatorHost host(indicators, log);
    ATAThread worker{host, [&] { return lab.dev.get(); }, main, lab.globals, lab.flags, 2};

    std::vector<std::pair<int, std::vector<std::uint8_t>>> items;
    for (std::uint64_t lba = 0; lba < 500; ++lba)
        items.push_back({CMD_ATA_COMMAND, AtaItemData(ReadCmd(lba))});
    // The last read fails on the defect, and no reset follows it: its registers stay.
    items.push_back({CMD_ATA_COMMAND, AtaItemData(ReadCmd(1000, READREGS))});
    ASSERT_TRUE(worker.Deliver(Batch(items)));

    // While the worker holds the batch the poll leaves the drive alone.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (worker.Queued() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(worker.Busy());
    EXPECT_FALSE(RegisterPollDue(true, lab.flags.DeviceReady(), worker.Busy(), false));
    ASSERT_TRUE(RunUntil(
        main, [&] { return !worker.Busy(); }, 30s));
    EXPECT_EQ(host.replies, 1);

    // The progress was shown at 0, stepped up within 0..100 without changing its visibility,
    // and hidden again.
    ASSERT_GE(view.progress.size(), 2u);
    const auto& first = view.progress.front();
    EXPECT_TRUE(first.showOrHide && first.progress.visible);
    EXPECT_EQ(first.progress.value, 0);
    EXPECT_EQ(first.progress.toolTip, "0%");
    const auto& last = view.progress.back();
    EXPECT_TRUE(last.showOrHide);
    EXPECT_FALSE(last.progress.visible);
    EXPECT_EQ(last.progress.toolTip, "");
    int previous = 0;
    for (std::size_t i = 1; i + 1 < view.progress.size(); ++i) {
        const auto& step = view.progress[i];
        EXPECT_FALSE(step.showOrHide);
        EXPECT_TRUE(step.progress.visible);
        EXPECT_GE(step.progress.value, previous);
        EXPECT_LE(step.progress.value, 100);
        EXPECT_EQ(step.progress.toolTip, std::to_string(step.progress.value) + "%");
        previous = step.progress.value;
    }
    EXPECT_FALSE(indicators.Progress().visible);

    // The poll is due again and the lamps show what the drive's registers hold.
    ASSERT_TRUE(RegisterPollDue(true, lab.flags.DeviceReady(), worker.Busy(), false));
    EXPECT_FALSE(RegisterPollDue(true, lab.flags.DeviceReady(), false, true)); // a scan runs
    EXPECT_FALSE(RegisterPollDue(false, true, false, false));                  // no drive
    AtaCommandRecord rec;
    lab.dev->ReadStatus(rec);
    indicators.ShowRegisters(rec.SR, rec.ER);
    EXPECT_EQ(view.lit, "DRD=green ERR=red UNC=red ");
    EXPECT_EQ(indicators.Status(), rec.SR);
    indicators.ShowRegisters(0, 0);
    EXPECT_EQ(view.lit, "");

    // A worker thread leaves a value and a line; the main thread shows them.
    std::thread other([&] {
        indicators.sharedProgress = 140;
        indicators.SetPendingLogLine("left by another thread");
    });
    other.join();
    indicators.ProgressStep();
    EXPECT_EQ(indicators.Progress().value, 100);
    EXPECT_EQ(indicators.PendingLogLine(), "left by another thread");
    worker.Stop();
}

} // namespace
} // namespace zkv
