// The ATA worker: ATASocket runs one batch of the technician's ATA items; ATAThread runs the
// batches on a thread of its own, one after another, and hands each reply to the main thread.
//
// A batch is a packet with the ATA flag whose items are CMD_ATA_COMMAND, CMD_ATA_GET_STATUS,
// CMD_ATA_RESET or CMD_SHOW_WIZARD_FORM. Reply of CMD_ATA_COMMAND (code 0x1001 whatever the
// engine's result):
//   47-byte record as the engine left it
//   DataLen bytes read          only for protocols 1, 3, 4, 6, 7, 8, 9 and DataLen > 0
//   u32 count, then per attempt u32 n + n trace bytes      only with WRITELOG
//
// Batches that arrive while one runs wait in a queue and run in arrival order. The queue is
// bounded in packets and in bytes: the requests the worker holds, waiting or running, come to at
// most kMaxAtaQueueBytes. A batch that does not fit is not run: it is answered at once, each item
// that asks for a reply with COMMAND_ERROR and no data, and logged. A batch's reply is at most
// kMaxBatchReply bytes: an item whose answer would not fit is answered COMMAND_ERROR without
// touching the drive (room is kept for a 20-byte answer to every later item). The batch is
// walked item by item, so its size in memory is its body. The thread waits on a condition variable
// between batches. Everything that reaches the window goes through the main thread, so the worker
// never touches the window or the connection itself: what only updates the window (progress, at
// most once a frame) and the completion that sends the reply are posted without waiting; only
// the wizard screen, which needs an answer, waits (IMainThread::Invoke). Posted calls run in
// order, so replies go out in the order of the batches.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "ata/HDCDevice.h"
#include "platform/MainThread.h"
#include "protocol/Packet.h"
#include "protocol/TransportData.h"
#include "protocol/UniSocket.h"
#include "support/SharedFlags.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace zkv {

// What the worker needs from the window. Every call comes on the main thread, but SendAtaReply
// where RepliesFromWorker answers true.
class IAtaWorkerHost {
public:
    virtual ~IAtaWorkerHost() = default;
    virtual void AtaProgressStart() {}
    virtual void AtaProgressStep(int /*percent*/) {}
    virtual void AtaProgressStop() {}
    // Sends the batch's reply packet (Framing::SendPacket). False when it could not be sent.
    virtual bool SendAtaReply(PacketRecord& reply) = 0;
    // True when SendAtaReply may be called on the worker: the reply then leaves as soon as the
    // batch ends, without waiting for the main thread (Framing::SendsFromAnyThread).
    virtual bool RepliesFromWorker() const { return false; }
    virtual void AtaLog(std::string_view text) = 0;
};

// Shows a wizard screen from a serialized TWizFormData on the main thread: true with the
// pressed button's index, false when the record cannot be read.
using WizardHook = std::function<bool(std::span<const std::uint8_t> data, std::int32_t& result)>;

// The channel device the batch works on; nullptr while no channel is chosen.
using DeviceSource = std::function<TControllerInfo*()>;

// The trace of one attempt is given this much room.
inline constexpr std::uint32_t kTraceBufferSize = 10240;
// The traces one reply item may carry in all; attempts past it are run but not traced.
inline constexpr std::size_t kMaxTraceBytes = 16u << 20;
// One batch's reply, serialized: the packet bound.
inline constexpr std::size_t kMaxBatchReply = static_cast<std::size_t>(kMaxPlainLength);
// The plain bodies of the batches the worker holds, waiting or running, in all.
inline constexpr std::size_t kMaxAtaQueueBytes = 64u << 20;

class ATASocket : public UniSocket {
public:
    ATASocket(DeviceSource device, IMainThread& main, AtaGlobals& globals, SharedFlags& flags);

    // Runs the batch: parses `request` and answers each item. `progress` is called with the
    // percentage done whenever it changes; `stop` is asked between items. The replies are kept
    // for FinishReply.
    void ProcessBatch(const PacketRecord& request, const std::function<void(int)>& progress,
                      const std::function<bool()>& stop);
    // Serializes the replies of the last batch into `reply` (left empty when there are none)
    // and forgets them.
    void FinishReply(PacketRecord& reply);
    // Forgets the replies of the last batch.
    void DropReplies();
    std::size_t ReplyCount() const { return replyCount_; }
    // The answer to a batch that is not run: COMMAND_ERROR without data for every item that
    // asks for a reply, addressed as FinishReply addresses it. Left empty when no item asks.
    static void RefusalReply(const PacketRecord& request, PacketRecord& reply);

    void SetWizardHook(WizardHook hook) { wizard_ = std::move(hook); }

    void OnCmdAtaCommand(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdAtaGetStatus(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdAtaReset(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;
    void OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply, ItemRecord&) override;

private:
    DeviceSource device_;
    IMainThread& main_;
    AtaGlobals& globals_;
    SharedFlags& flags_;
    void AppendReply(const ItemRecord& item);
    // The record a command item asks to run, checked: false when the item is answered with an
    // error without reaching the drive. `trailing`: the data after the record; `answer`: the
    // most its answer holds, traces aside.
    static bool CheckCommand(const ItemRecord& command, AtaCommandRecord& rec,
                             std::span<const std::uint8_t>& trailing, std::size_t& answer);
    // On a channel whose engine works in another process: runs the items from item `i` (its
    // header at `pos`) that can go there together in one exchange, as far as a run can go
    // without changing what each item is answered. The handlers then take their results.
    void RunAhead(const PacketRecord& request, std::size_t i, std::size_t pos, std::size_t n,
                  TControllerInfo& dev);
    // The result run ahead for the item being answered, when it is of `kind`.
    RemoteEntry* Ahead(std::uint8_t kind);

    WizardHook wizard_;
    // The reply items of the running batch, serialized as they come (the count is written by
    // FinishReply), and the room the item being run may fill.
    std::vector<std::uint8_t> replyBody_;
    std::size_t replyCount_ = 0;
    std::size_t replyRoom_ = 0;
    PacketHeader requestHeader_{};
    int progress_ = 0;
    // The run of the running batch done ahead: its entries and their items' indexes, the next
    // one to hand out, and the item being answered.
    std::vector<RemoteEntry> run_;
    std::vector<std::size_t> runItems_;
    std::size_t runNext_ = 0;
    std::size_t item_ = 0;
    bool freshStreak_ = true;
};

// A run ahead holds at most this many entries and this much data (reads and writes).
inline constexpr std::size_t kMaxRunEntries = 256;
inline constexpr std::size_t kMaxRunBytes = 16u << 20;

class ATAThread {
public:
    static constexpr std::size_t kDefaultQueueLimit = 64;

    ATAThread(IAtaWorkerHost& host, DeviceSource device, IMainThread& main = MainThread(),
              AtaGlobals& globals = AtaGlobals::Instance(),
              SharedFlags& flags = SharedFlags::Instance(),
              std::size_t queueLimit = kDefaultQueueLimit);
    // Stops the thread (see Stop).
    ~ATAThread();
    ATAThread(const ATAThread&) = delete;
    ATAThread& operator=(const ATAThread&) = delete;

    // Main thread: queues a decoded ATA packet. The thread is started on the first one (and
    // OperationStopped set then). False, with a log line, when the packet does not fit in the
    // queue (in packets or in bytes): it is then answered with errors (RefusalReply).
    bool Deliver(std::unique_ptr<PacketRecord> packet);
    // The plain bytes of the batches held, waiting or running.
    std::size_t HeldBytes() const;
    // A batch has been taken and its completion has not run yet.
    bool Busy() const;
    std::size_t Queued() const;
    // Drops the batches waiting behind the running one (a reset does); returns how many.
    std::size_t DiscardQueued();
    // Ends the thread after the item it is running; its reply is not sent. Handles the main
    // thread's events while it waits, so a worker blocked in a synchronised call can finish.
    void Stop();

    ATASocket& Socket() { return socket_; }

private:
    void Run();
    void PostStartOnceAFrameHasPassed();
    void PostProgress(int percent);
    void Complete(PacketRecord& reply, std::size_t bytes, bool ran);

    IAtaWorkerHost& host_;
    IMainThread& main_;
    SharedFlags& flags_;
    std::size_t queueLimit_;
    ATASocket socket_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<PacketRecord>> queue_;
    std::size_t heldBytes_ = 0;
    // Batches taken by the worker whose completion has not run on the main thread yet.
    std::size_t inFlight_ = 0;
    // Cleared when the worker goes: what it posted and has not run yet then does nothing.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // The worker's own: when the running batch started and last showed progress, and whether
    // its start has been posted.
    static constexpr std::chrono::milliseconds kFrame{16};
    std::chrono::steady_clock::time_point batchStart_{};
    std::chrono::steady_clock::time_point lastProgress_{};
    bool startPosted_ = false;
    std::atomic<bool> terminate_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Builds the reply data of one CMD_ATA_COMMAND from the record as the engine left it and the
// traces of its attempts.
std::vector<std::uint8_t> AtaCommandReplyData(const AtaCommandRecord& rec,
                                              const std::vector<std::vector<std::uint8_t>>& traces);

} // namespace zkv
