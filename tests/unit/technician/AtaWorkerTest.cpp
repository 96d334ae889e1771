// The ATA worker on its own thread against the simulated drive, and the main thread's reset
// that has to stop it. Also built with ThreadSanitizer (ZELKOVA_TSAN).
#include "agent/UserClientSocket.h"
#include "tests/support/ClientHarness.h"
#include "tests/unit/technician/TechFixture.h"
#include "tools/MessageDialog.h"
#include "tools/WizFormData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zkv {
namespace {

using namespace std::chrono_literals;
using namespace test;

// A disk with one sector that keeps the drive busy for a minute of simulated time, so that a
// read of it is still running when the test reacts.
SimDeviceConfig SlowDisk() {
    SimDeviceConfig d = Disk();
    d.slow.push_back({900, 1, 60000});
    d.slow.push_back({901, 1, 300});
    d.defects.push_back({1000, SimDefectKind::UNC});
    return d;
}

struct FixedChannel : IChannelService {
    THDCDevice* dev = nullptr;
    DriveInfo drive;
    THDCDevice* CurrentDevice() override { return dev; }
    const DriveInfo& ChosenDrive() override { return drive; }
    bool WriteControllerStream(std::vector<std::uint8_t>&) override { return true; }
};

class AtaWorkerTest : public ::testing::Test {
protected:
    AtaWorkerTest() {
        lab.flags.SetDeviceReady();
        channel.dev = lab.dev.get();
        engine.SetServices({&channel});
        engine.SetSharedFlags(&lab.flags);
        engine.SetMainThread(&main);
        engine.SetAtaWorker(&worker);
    }
    ~AtaWorkerTest() override { worker.Stop(); }

    // Runs a command packet through the engine on the main thread; returns the reply items.
    std::vector<ReplyItem> Command(std::unique_ptr<PacketRecord> p,
                                   PacketRecord* replyOut = nullptr) {
        PacketRecord reply, followUp;
        engine.ProcessCommandPacket(*p, reply, followUp);
        if (replyOut)
            *replyOut = reply;
        return Items(reply);
    }
    bool WaitReplies(std::size_t n, std::chrono::milliseconds t = 20s) {
        return RunUntil(
            main, [&] { return host.Replies() >= n; }, t);
    }

    Lab lab{SlowDisk()};
    QueuedMainThread main;
    RecordingWorkerHost host;
    // While `hold` is set the worker waits where it asks for the device, until the abort request,
    // so that a test can keep a batch running for as long as it needs.
    std::atomic<bool> hold{false};
    ATAThread worker{host,
                     [this] {
                         while (hold && !lab.flags.AbortRequest())
                             std::this_thread::sleep_for(1ms);
                         return lab.dev.get();
                     },
                     main,
                     lab.globals,
                     lab.flags,
                     2};
    FixedChannel channel;
    TempDir dir;
    LogHost clientHost;
    UserInfo user;
    ClientSettings settings;
    TransportData transport;
    UserClientSocket engine{clientHost, user, settings, DataDirectory{dir.Path()}, transport};
};

TEST_F(AtaWorkerTest, QueuesBatchesInOrderAndRefusesPastTheBound) {
    // The first batch is held running; three more arrive meanwhile and the queue holds two.
    hold = true;
    ASSERT_TRUE(worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(ReadCmd(901))}}, 1)));
    ASSERT_TRUE(RunUntil(
        main, [&] { return worker.Busy(); }, 5s));
    AtaCommandRecord rd = Lab::Rw(0x20, 3, 16, RESETENABLE | READREGS, 2000);
    rd.Protocol = PR_PIO_READ;
    rd.RepeatCnt = 0;
    rd.DataLen = 0; // the default buffer
    EXPECT_TRUE(worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(rd)}}, 2)));
    EXPECT_TRUE(worker.Deliver(Batch({{CMD_ATA_GET_STATUS, {}}}, 3)));
    EXPECT_FALSE(worker.Deliver(Batch({{CMD_ATA_GET_STATUS, {}}}, 4)));
    hold = false;
    // The fourth is answered at once, each item with an error, and never run.
    ASSERT_TRUE(WaitReplies(4));
    main.WaitForCalls(20ms);

    std::lock_guard g(host.lock);
    ASSERT_EQ(host.replies.size(), 4u);
    const PacketRecord refusal = host.replies.front();
    host.replies.erase(host.replies.begin());
    EXPECT_EQ(refusal.header.exchangeId, 4u);
    EXPECT_EQ(refusal.header.destinationId, 4242);
    ASSERT_EQ(Items(refusal).size(), 1u);
    EXPECT_EQ(Items(refusal)[0].code, COMMAND_ERROR);
    EXPECT_EQ(host.replies[0].header.exchangeId, 1u);
    EXPECT_EQ(host.replies[1].header.exchangeId, 2u);
    EXPECT_EQ(host.replies[2].header.exchangeId, 3u);
    EXPECT_EQ(host.replies[0].header.kind, REPLY_PACKET);
    EXPECT_EQ(host.replies[0].header.destinationId, 4242);
    EXPECT_EQ(RecordOf(Items(host.replies[0])[0]).Result, ATA_OK);
    // RepeatCnt 0 runs once and tells it; DataLen 0 reads into the 8192-byte default buffer.
    auto second = Items(host.replies[1]);
    AtaCommandRecord r2 = RecordOf(second[0]);
    EXPECT_EQ(r2.Result, ATA_OK);
    EXPECT_EQ(r2.RepeatCnt, 1u);
    EXPECT_EQ(r2.DataLen, 8192);
    EXPECT_EQ(second[0].data.size(), 47u + 8192u);
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_NE(host.log[0].find("answered with errors"), std::string::npos);
    EXPECT_TRUE(lab.flags.OperationStopped());
    EXPECT_EQ(worker.HeldBytes(), 0u);
}

TEST_F(AtaWorkerTest, MalformedItemsAreRefusedWithoutTouchingTheDrive) {
    const int before = lab.Master().Commands();
    AtaCommandRecord wr = Lab::Rw(0x30, 5, 2, RESETENABLE | READREGS, 2000);
    wr.Protocol = PR_PIO_WRITE;
    wr.DataLen = 1024;
    AtaCommandRecord huge = ReadCmd(0);
    huge.DataLen = 65536 * 512 + 1;
    AtaCommandRecord hugeWrite = wr;
    hugeWrite.DataLen = 65536 * 512 + 512;
    std::vector<std::uint8_t> shortRecord(20, 0);
    worker.Deliver(Batch(
        {{CMD_ATA_COMMAND, AtaItemData(wr, std::vector<std::uint8_t>(512, 7))},
         {CMD_ATA_COMMAND, AtaItemData(huge)},
         {CMD_ATA_COMMAND, shortRecord},
         {CMD_ATA_COMMAND, AtaItemData(hugeWrite, std::vector<std::uint8_t>(65537 * 512, 7))}}));
    ASSERT_TRUE(WaitReplies(1));
    std::lock_guard g(host.lock);
    auto items = Items(host.replies[0]);
    ASSERT_EQ(items.size(), 4u);
    for (const auto& it : items) {
        EXPECT_EQ(it.code, COMMAND_ERROR);
        EXPECT_TRUE(it.data.empty());
    }
    EXPECT_EQ(lab.Master().Commands(), before);
}

TEST_F(AtaWorkerTest, ABatchReplyStaysWithinItsBoundAndLaterItemsAreStillAnswered) {
    // Past the slow and bad sectors, a 32 MiB read fills most of the 40 MiB a reply may carry: the
    // 8 MiB read after it is refused without touching the drive, the status after that still fits.
    AtaCommandRecord big = Lab::Rw(0x20, 10000, 65536, RESETENABLE | READREGS, 600000);
    big.Protocol = PR_PIO_READ;
    big.DataLen = 65536 * 512;
    AtaCommandRecord more = Lab::Rw(0x20, 10000, 16384, RESETENABLE | READREGS, 600000);
    more.Protocol = PR_PIO_READ;
    more.DataLen = 16384 * 512;
    const int before = lab.Master().Commands();
    ASSERT_TRUE(worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(big)},
                                      {CMD_ATA_COMMAND, AtaItemData(more)},
                                      {CMD_ATA_GET_STATUS, {}}})));
    ASSERT_TRUE(WaitReplies(1, 60s));
    std::lock_guard g(host.lock);
    EXPECT_LE(host.replies[0].body.size(), kMaxBatchReply);
    auto items = Items(host.replies[0]);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].code, COMMAND_OK);
    EXPECT_EQ(RecordOf(items[0]).Result, ATA_OK);
    EXPECT_EQ(items[0].data.size(), 47u + 65536u * 512u);
    EXPECT_EQ(items[1].code, COMMAND_ERROR);
    EXPECT_TRUE(items[1].data.empty());
    EXPECT_EQ(items[2].code, COMMAND_OK);
    EXPECT_EQ(items[2].data.size(), 47u);
    EXPECT_EQ(lab.Master().Commands(), before + 1);
}

TEST_F(AtaWorkerTest, AbortRequestStopsTheBatchAndDropsItsReply) {
    AtaCommandRecord slow = ReadCmd(900, RESETENABLE | READREGS, 5000);
    hold = true; // until the abort request: the read then starts under it and must end at once
    worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(slow)}, {CMD_ATA_GET_STATUS, {}}}));
    ASSERT_TRUE(RunUntil(
        main, [&] { return worker.Busy(); }, 5s));
    EXPECT_FALSE(lab.flags.OperationStopped());
    lab.flags.SetAbortRequest();
    ASSERT_TRUE(RunUntil(
        main, [&] { return lab.flags.OperationStopped(); }, 20s));
    hold = false;
    lab.flags.ClearAbortRequest();
    EXPECT_EQ(host.Replies(), 0u);
    EXPECT_FALSE(worker.Busy());
}

TEST_F(AtaWorkerTest, ResetWhileABatchRunsStopsItFirst) {
    AtaCommandRecord slow = ReadCmd(900, RESETENABLE | READREGS, 5000);
    hold = true; // until the reset's abort request
    worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(slow)}}, 1));
    worker.Deliver(Batch({{CMD_ATA_GET_STATUS, {}}}, 2));
    ASSERT_TRUE(RunUntil(
        main, [&] { return worker.Busy(); }, 5s));

    // On the main thread, as the connection would deliver it: the reset waits for the batch.
    PacketRecord reply;
    auto items = Command(Batch({{CMD_ATA_RESET, {}}}, 9, 0), &reply);
    hold = false;
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].code, COMMAND_OK);
    AtaCommandRecord r = RecordOf(items[0]);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_TRUE(r.Has(READREGS));
    EXPECT_EQ(reply.header.addresseeRole, static_cast<std::uint8_t>(Role::AUTOMAT));
    EXPECT_EQ(reply.header.delivery, FOR_ONE);
    EXPECT_EQ(reply.header.destinationId, 4242);
    EXPECT_FALSE(lab.flags.AbortRequest());
    EXPECT_FALSE(worker.Busy());
    main.WaitForCalls(20ms);
    EXPECT_EQ(host.Replies(), 0u); // the aborted batch's reply and the waiting batch are gone
    EXPECT_EQ(clientHost.log.size(), 1u);
}

TEST_F(AtaWorkerTest, WireTimeAndRepeatsAreBoundedAndTheCloseEndsACommandAtOnce) {
    // Every attempt fails on the bad sector: the reply shows how many were made.
    AtaCommandRecord bad = ReadCmd(1000, RESETENABLE | READREGS | IGNOREERRORS, 0x7FFFFFFF);
    bad.RepeatCnt = 0xFFFFFFFFu;
    const int before = lab.Master().Commands();
    worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(bad)}}, 1));
    ASSERT_TRUE(WaitReplies(1));
    {
        std::lock_guard g(host.lock);
        AtaCommandRecord r = RecordOf(Items(host.replies[0])[0]);
        EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
        EXPECT_EQ(r.RepeatCnt, kMaxRepeatCount);
    }
    EXPECT_EQ(lab.Master().Commands() - before, static_cast<int>(kMaxRepeatCount));

    // A command on the minute-long sector with the longest time-out and every repetition:
    // stopping the worker (the program's close) ends it without waiting for the drive.
    AtaCommandRecord slow = ReadCmd(900, RESETENABLE | READREGS, 0x7FFFFFFF);
    slow.RepeatCnt = 0xFFFFFFFFu;
    worker.Deliver(Batch({{CMD_ATA_COMMAND, AtaItemData(slow)}}, 2));
    ASSERT_TRUE(RunUntil(
        main, [&] { return worker.Busy(); }, 5s));
    const auto t0 = std::chrono::steady_clock::now();
    worker.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_FALSE(lab.flags.AbortRequest()); // raised for the stop only
    EXPECT_EQ(host.Replies(), 1u);
}

struct StuckScan : IScanService {
    bool ScanRunning() const override { return true; }
    bool StartScan(std::span<const std::uint8_t>, std::int32_t) override { return false; }
    void RequestStop() override {}
};

TEST_F(AtaWorkerTest, ResetWaitIsBoundedAndWithoutReplyFlagAnswersNothing) {
    StuckScan scan;
    engine.SetServices({&channel, &scan});
    engine.SetResetWaitLimit(50ms);
    const int before = lab.Master().Commands();
    // With the reply flag: the drive is left alone while the scan still holds it.
    auto asked = Command(Batch({{CMD_ATA_RESET, {}}}, 1, 0));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(RecordOf(asked[0]).Result, ATA_DEVICE_BUSY);
    ASSERT_FALSE(clientHost.log.empty());
    EXPECT_NE(clientHost.log.back().find("did not stop"), std::string::npos);
    EXPECT_FALSE(lab.flags.AbortRequest());
    EXPECT_EQ(lab.Master().Commands(), before);
    // Without it: an untouched item and no routing.
    auto p = Batch({}, 2, 0);
    PacketConverter list;
    list.AddItem(ItemRecord(CMD_ATA_RESET, 0));
    list.SerializeInto(*p);
    PacketRecord reply;
    auto items = Command(std::move(p), &reply);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].code, 0);
    EXPECT_TRUE(items[0].data.empty());
    EXPECT_EQ(reply.header.delivery, 0);
}

TEST_F(AtaWorkerTest, WizardInABatchIsShownOnTheMainThread) {
    ScriptedMessageDialog dialog;
    ScopedMessageDialog scoped(dialog);
    dialog.Push(mrRetry);
    worker.Socket().SetWizardHook(ShowWizardForm);
    TWizFormData w;
    w.message = "Press Retry";
    w.buttons = mb::Cancel | mb::Retry;
    worker.Deliver(Batch({{CMD_SHOW_WIZARD_FORM, w.ToBytes()}, {CMD_SHOW_WIZARD_FORM, {1, 2}}}));
    ASSERT_TRUE(WaitReplies(1));
    std::lock_guard g(host.lock);
    auto items = Items(host.replies[0]);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].code, COMMAND_OK);
    EXPECT_EQ(GetI32(items[0].data.data()), mrRetry);
    EXPECT_EQ(items[1].code, COMMAND_ERROR);
    ASSERT_EQ(dialog.ShownSoFar().size(), 1u);
    EXPECT_EQ(dialog.ShownSoFar()[0].request.text, "Press Retry");
}

// What only updates the window is posted: the worker runs batch after batch while the main
// thread handles nothing, and when it does, the replies go out in the batches' order with at
// most one progress update per frame.
TEST_F(AtaWorkerTest, BatchesRunWhileTheMainThreadIsBusyAndRepliesKeepTheirOrder) {
    std::vector<std::pair<int, std::vector<std::uint8_t>>> reads;
    for (std::uint64_t lba = 0; lba < 256; ++lba)
        reads.push_back({CMD_ATA_COMMAND, AtaItemData(ReadCmd(lba))});
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(worker.Deliver(Batch(reads, 1)));
    ASSERT_TRUE(worker.Deliver(Batch(reads, 2)));
    // The main thread is blocked here: the worker must get through the first batch and take
    // the second without it.
    const auto deadline = start + 20s;
    while (worker.Queued() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(worker.Queued(), 0u);
    EXPECT_EQ(host.Replies(), 0u);

    ASSERT_TRUE(WaitReplies(2));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(RunUntil(
        main, [&] { return !worker.Busy(); }, 5s));
    std::lock_guard g(host.lock);
    ASSERT_EQ(host.replies.size(), 2u);
    EXPECT_EQ(host.replies[0].header.exchangeId, 1u);
    EXPECT_EQ(host.replies[1].header.exchangeId, 2u);
    for (const auto& reply : host.replies) {
        auto items = Items(reply);
        ASSERT_EQ(items.size(), 256u);
        EXPECT_EQ(RecordOf(items[255]).Result, ATA_OK);
    }
    EXPECT_LE(host.progress.size(),
              2u + static_cast<std::size_t>(elapsed / std::chrono::milliseconds(16)));
    EXPECT_TRUE(lab.flags.OperationStopped());
    EXPECT_EQ(worker.HeldBytes(), 0u);
}

} // namespace
} // namespace zkv
