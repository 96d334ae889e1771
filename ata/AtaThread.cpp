#include "ata/AtaThread.h"

#include "ata/AtaAttempts.h"
#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace zkv {

namespace {

constexpr std::uint8_t kIdentifyDevice = 0xEC;

void AnswerError(const ItemRecord& command, ItemRecord& reply) {
    if (command.WantsReply()) {
        reply.code = COMMAND_ERROR;
        reply.SetData({});
    }
}

// Checks the batch's plain body as the item list parser does and counts its items, without
// building the list. False when the body is malformed.
bool CountItems(const PacketRecord& p, std::size_t& n) {
    n = 0;
    const std::int32_t plain = p.header.plainLength;
    if (plain < 4 || static_cast<std::size_t>(plain) > p.body.size())
        return false;
    const std::size_t end = static_cast<std::size_t>(plain);
    for (std::size_t pos = 4; pos < end; ++n) {
        if (end - pos < kItemHeaderSize)
            return false;
        const std::int32_t len = GetI32(p.body.data() + pos + 4);
        pos += kItemHeaderSize;
        if (len < 0 || static_cast<std::size_t>(len) > end - pos)
            return false;
        pos += static_cast<std::size_t>(len);
    }
    return true;
}

// The item at `pos` of a body CountItems accepted; its data stays in the body. Advances `pos`.
ItemRecord ItemAt(const PacketRecord& p, std::size_t& pos) {
    const std::uint8_t* h = p.body.data() + pos;
    ItemRecord item;
    item.code = GetI32(h + 0);
    item.dataLength = GetI32(h + 4);
    item.flags = GetU32(h + 8);
    item.echo = GetU32(h + 12);
    item.reserved = GetU32(h + 16);
    pos += kItemHeaderSize;
    item.data = item.dataLength ? p.body.data() + pos : nullptr;
    pos += static_cast<std::size_t>(item.dataLength);
    return item;
}

// Fills the routing fields of a reply to `request`.
void AddressReply(const PacketHeader& request, PacketRecord& reply) {
    reply.header.senderRole = request.addresseeRole != 0 ? request.addresseeRole
                                                         : static_cast<std::uint8_t>(Role::CLIENT);
    reply.header.addresseeRole = request.senderRole;
    reply.header.kind = REPLY_PACKET;
    // The answer goes to the technician who sent the batch.
    reply.header.delivery = FOR_ONE;
    reply.header.destinationId = request.senderId;
}

void AnswerRecord(ItemRecord& reply, const AtaCommandRecord& rec) {
    auto bytes = rec.Encode();
    reply.code = COMMAND_OK;
    reply.SetData(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

} // namespace

std::vector<std::uint8_t>
AtaCommandReplyData(const AtaCommandRecord& rec,
                    const std::vector<std::vector<std::uint8_t>>& traces) {
    std::vector<std::uint8_t> out(AtaCommandRecord::kSize);
    rec.EncodeTo(out.data());
    if (IsReadProtocol(rec.Protocol) && rec.DataLen > 0) {
        const std::size_t n = static_cast<std::size_t>(rec.DataLen);
        const std::size_t have = std::min(n, rec.Buffer.size());
        out.insert(out.end(), rec.Buffer.begin(),
                   rec.Buffer.begin() + static_cast<std::ptrdiff_t>(have));
        out.resize(out.size() + (n - have), 0);
    }
    if (rec.Has(WRITELOG)) {
        ByteWriter w(out);
        w.U32(static_cast<std::uint32_t>(traces.size()));
        for (const auto& t : traces) {
            w.U32(static_cast<std::uint32_t>(t.size()));
            w.Bytes(t);
        }
    }
    return out;
}

// --- ATASocket -------------------------------------------------------------------------------

ATASocket::ATASocket(DeviceSource device, IMainThread& main, AtaGlobals& globals,
                     SharedFlags& flags)
    : device_(std::move(device)), main_(main), globals_(globals), flags_(flags) {
    SetOwnRole(Role::CLIENT);
}

void ATASocket::ProcessBatch(const PacketRecord& request, const std::function<void(int)>& progress,
                             const std::function<bool()>& stop) {
    globals_.fCriticalATAError = false;
    globals_.FailureStreak = 0;
    DropReplies();
    requestHeader_ = request.header;
    progress_ = 0;
    run_.clear();
    runItems_.clear();
    runNext_ = 0;
    freshStreak_ = true;

    std::size_t n = 0;
    if (!CountItems(request, n))
        return;
    replyBody_.assign(4, 0);
    std::size_t pos = 4;
    for (std::size_t i = 0; i < n; ++i) {
        if (stop && stop())
            break;
        const int percent = static_cast<int>(i * 100 / n);
        if (percent != progress_) {
            progress_ = percent;
            if (progress)
                progress(percent);
        }
        const std::size_t itemPos = pos;
        const ItemRecord command = ItemAt(request, pos);
        item_ = i;
        if (runNext_ == runItems_.size() && flags_.DeviceReady()) {
            TControllerInfo* dev = device_ ? device_() : nullptr;
            if (dev && dev->RemoteEngine())
                RunAhead(request, i, itemPos, n, *dev);
        }
        // This item's answer may fill what the reply bound leaves after the answers so far, its
        // own item header and a bare 20-byte answer to every item after it.
        const std::size_t reserved = replyBody_.size() + (n - i) * kItemHeaderSize;
        replyRoom_ = reserved < kMaxBatchReply ? kMaxBatchReply - reserved : 0;
        ItemRecord reply;
        ItemRecord followUp;
        DispatchCommandItem(command, reply, followUp);
        if (reply.code == NO_REPLY)
            continue;
        if (reply.Data().size() > replyRoom_) {
            // A handler's answer grew past what it was told it may fill: the item fails.
            reply.code = COMMAND_ERROR;
            reply.SetData({});
        }
        AppendReply(reply);
    }
}

void ATASocket::RunAhead(const PacketRecord& request, std::size_t i, std::size_t pos, std::size_t n,
                         TControllerInfo& dev) {
    run_.clear();
    runItems_.clear();
    runNext_ = 0;
    // Each item's room is reckoned as the sequence would, with every earlier answer of the run
    // at its largest: an item that fits so fits when its turn comes. The first that might not
    // ends the run and is answered in its turn.
    std::size_t body = replyBody_.size();
    std::size_t bytes = 0;
    for (std::size_t k = i; k < n && run_.size() < kMaxRunEntries; ++k) {
        const ItemRecord item = ItemAt(request, pos);
        const std::size_t reserved = body + (n - k) * kItemHeaderSize;
        const std::size_t room = reserved < kMaxBatchReply ? kMaxBatchReply - reserved : 0;
        RemoteEntry e;
        std::size_t answer = AtaCommandRecord::kSize;
        if (item.code == CMD_ATA_COMMAND) {
            std::span<const std::uint8_t> trailing;
            if (!CheckCommand(item, e.rec, trailing, answer)) {
                body += kItemHeaderSize; // answered with an error, the drive untouched
                continue;
            }
            // The traces' room depends on the answers before: such a command runs in its turn.
            if (e.rec.Has(WRITELOG) || (item.WantsReply() && answer > room))
                break;
            const auto len = static_cast<std::size_t>(e.rec.DataLen);
            if (IsWriteProtocol(e.rec.Protocol))
                e.rec.Buffer.assign(trailing.begin(), trailing.begin() + len);
            else
                e.rec.Buffer.clear();
            if (IsReadProtocol(e.rec.Protocol) || IsWriteProtocol(e.rec.Protocol))
                bytes += answer;
            if (bytes > kMaxRunBytes && !run_.empty())
                break;
        } else if (item.code == CMD_ATA_GET_STATUS) {
            e.kind = RemoteEntry::Status;
        } else if (item.code == CMD_ATA_RESET) {
            if (item.WantsReply() && room < AtaCommandRecord::kSize)
                break;
            e.kind = RemoteEntry::Reset;
            e.rec.Flags = READREGS;
            if (item.flags & 0x40)
                e.rec.Flags |= NOREADYDRSC;
            e.rec.Time = 40000;
        } else {
            break; // a window's question, or an item the worker does not run
        }
        body += kItemHeaderSize + answer;
        run_.push_back(std::move(e));
        runItems_.push_back(k);
    }
    if (run_.empty())
        return;
    if (!dev.RunRemote(run_, freshStreak_)) {
        run_.clear();
        runItems_.clear();
        return;
    }
    freshStreak_ = false;
}

RemoteEntry* ATASocket::Ahead(std::uint8_t kind) {
    if (runNext_ >= runItems_.size() || runItems_[runNext_] != item_)
        return nullptr;
    RemoteEntry& e = run_[runNext_++];
    return e.ran && e.kind == kind ? &e : nullptr;
}

void ATASocket::AppendReply(const ItemRecord& item) {
    const auto data = item.Data();
    const std::size_t need = replyBody_.size() + kItemHeaderSize + data.size();
    if (need > replyBody_.capacity())
        replyBody_.reserve(
            std::min(std::max(need, replyBody_.capacity() * 2), std::max(need, kMaxBatchReply)));
    std::uint8_t h[kItemHeaderSize];
    PutI32(h + 0, item.code);
    PutI32(h + 4, static_cast<std::int32_t>(data.size()));
    PutU32(h + 8, item.flags);
    PutU32(h + 12, item.echo);
    PutU32(h + 16, item.reserved);
    replyBody_.insert(replyBody_.end(), h, h + kItemHeaderSize);
    replyBody_.insert(replyBody_.end(), data.begin(), data.end());
    ++replyCount_;
}

void ATASocket::FinishReply(PacketRecord& reply) {
    reply.header = PacketHeader{};
    reply.body.clear();
    reply.header.exchangeId = requestHeader_.exchangeId;
    if (replyCount_ > 0) {
        PutI32(replyBody_.data(), static_cast<std::int32_t>(replyCount_));
        reply.body = std::move(replyBody_);
        reply.header.plainLength = static_cast<std::int32_t>(reply.body.size());
        AddressReply(requestHeader_, reply);
    }
    DropReplies();
}

void ATASocket::DropReplies() {
    replyBody_ = {};
    replyCount_ = 0;
    replyRoom_ = 0;
}

void ATASocket::RefusalReply(const PacketRecord& request, PacketRecord& reply) {
    reply.header = PacketHeader{};
    reply.body.clear();
    reply.header.exchangeId = request.header.exchangeId;
    std::size_t n = 0;
    if (!CountItems(request, n))
        return;
    std::vector<std::uint8_t> body(4, 0);
    std::int32_t count = 0;
    for (std::size_t i = 0, pos = 4; i < n; ++i) {
        const ItemRecord command = ItemAt(request, pos);
        if (!command.WantsReply())
            continue;
        std::uint8_t h[kItemHeaderSize] = {};
        PutI32(h + 0, COMMAND_ERROR);
        PutU32(h + 12, command.echo);
        body.insert(body.end(), h, h + kItemHeaderSize);
        ++count;
    }
    if (count == 0)
        return;
    PutI32(body.data(), count);
    reply.body = std::move(body);
    reply.header.plainLength = static_cast<std::int32_t>(reply.body.size());
    AddressReply(request.header, reply);
}

bool ATASocket::CheckCommand(const ItemRecord& command, AtaCommandRecord& rec,
                             std::span<const std::uint8_t>& trailing, std::size_t& answer) {
    auto data = command.Data();
    if (!rec.Decode(data))
        return false; // no record to work on
    ClampWireLimits(rec);
    trailing = data.subspan(AtaCommandRecord::kSize);
    if (rec.DataLen < 0)
        rec.DataLen = 0;
    // The item must carry what it asks to write, and neither a read nor a write may move more
    // than one command can: such an item is refused before the drive or the allocator sees it.
    if ((IsWriteProtocol(rec.Protocol) &&
         trailing.size() < static_cast<std::size_t>(rec.DataLen)) ||
        ((IsReadProtocol(rec.Protocol) || IsWriteProtocol(rec.Protocol)) &&
         rec.DataLen > kMaxCommandBuffer))
        return false;
    // The answer: the record, the data a read brings back (a growing read may bring back up
    // to kMaxGrownBuffer) and, with WRITELOG, the trace count.
    answer = AtaCommandRecord::kSize;
    if (IsReadProtocol(rec.Protocol)) {
        std::size_t bytes = rec.DataLen == 0 ? static_cast<std::size_t>(kDefaultReadBuffer)
                                             : static_cast<std::size_t>(rec.DataLen);
        if (rec.Protocol == PR_PIO_READ_DRDY || rec.Protocol == PR_PIO_RD_Q_DRDY)
            bytes = std::max(bytes, kMaxGrownBuffer);
        answer += bytes;
    }
    if (rec.Has(WRITELOG))
        answer += 4;
    return true;
}

void ATASocket::OnCmdAtaCommand(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    AtaCommandRecord rec;
    std::span<const std::uint8_t> trailing;
    std::size_t answer = 0;
    // The answer must fit in what is left of the batch's reply; what then remains bounds the
    // traces.
    if (!CheckCommand(command, rec, trailing, answer) ||
        (command.WantsReply() && answer > replyRoom_)) {
        AnswerError(command, reply);
        return;
    }
    const std::size_t traceLimit =
        command.WantsReply() ? std::min(kMaxTraceBytes, replyRoom_ - answer) : 0;

    TControllerInfo* dev = device_ ? device_() : nullptr;
    std::vector<std::vector<std::uint8_t>> traces;
    if (!flags_.DeviceReady() || !dev) {
        rec.Result = ATA_NO_DEVICE;
        rec.DataLen = 0;
        rec.Time = 0;
    } else if (RemoteEntry* done = Ahead(RemoteEntry::Command)) {
        rec = std::move(done->rec);
    } else if (dev->RemoteEngine()) {
        // The command runs whole where the engine is; the traces kept are those the room
        // allows, as below.
        std::vector<RemoteEntry> one(1);
        one[0].rec = rec;
        if (IsWriteProtocol(rec.Protocol))
            one[0].rec.Buffer.assign(trailing.begin(),
                                     trailing.begin() + static_cast<std::size_t>(rec.DataLen));
        if (dev->RunRemote(one, freshStreak_) && one[0].ran) {
            freshStreak_ = false;
            rec = std::move(one[0].rec);
            std::size_t traced = 0;
            for (auto& t : one[0].traces) {
                if (traced + 4 + kTraceBufferSize > traceLimit)
                    break;
                traced += t.size() + 4;
                traces.push_back(std::move(t));
            }
        } else {
            rec.Result = ATA_NO_DEVICE;
            rec.DataLen = 0;
        }
    } else {
        std::size_t traceBudget = traceLimit;
        traces = RunCommandAttempts(*dev, rec, trailing, globals_, flags_, traceBudget);
    }
    // The drive identified last is the one worked on, wherever the engine ran.
    if (rec.Result == ATA_OK && rec.CR == kIdentifyDevice && rec.Buffer.size() >= 512)
        globals_.CurrentId.LoadIdentifyData(
            std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512));
    if (command.WantsReply()) {
        reply.code = COMMAND_OK;
        reply.SetData(AtaCommandReplyData(rec, traces));
    }
}

void ATASocket::OnCmdAtaGetStatus(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    AtaCommandRecord rec;
    if (RemoteEntry* done = Ahead(RemoteEntry::Status))
        rec = done->rec;
    else if (TControllerInfo* dev = device_ ? device_() : nullptr)
        dev->ReadStatus(rec);
    else
        rec.Result = ATA_NO_DEVICE;
    AnswerRecord(reply, rec);
}

void ATASocket::OnCmdAtaReset(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    if (command.WantsReply() && replyRoom_ < AtaCommandRecord::kSize) {
        AnswerError(command, reply); // no room left for the answer: the drive is not touched
        return;
    }
    AtaCommandRecord rec;
    rec.Flags = READREGS;
    if (command.flags & 0x40)
        rec.Flags |= NOREADYDRSC;
    TControllerInfo* dev = device_ ? device_() : nullptr;
    if (flags_.DeviceReady() && dev) {
        rec.Time = 40000;
        if (RemoteEntry* done = Ahead(RemoteEntry::Reset))
            rec = done->rec;
        else
            dev->ResetDevice(rec);
    } else {
        rec.Result = ATA_NO_DEVICE;
    }
    if (command.WantsReply())
        AnswerRecord(reply, rec);
}

void ATASocket::OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    bool ok = false;
    std::int32_t result = 0;
    if (replyRoom_ < 4) {
        reply.code = COMMAND_ERROR;
        reply.SetData({});
        return;
    }
    try {
        if (wizard_)
            main_.Invoke([&] { ok = wizard_(command.Data(), result); });
    } catch (...) {
        ok = false;
    }
    if (ok) {
        std::vector<std::uint8_t> out(4);
        PutI32(out.data(), result);
        reply.code = COMMAND_OK;
        reply.SetData(std::move(out));
    } else {
        reply.code = COMMAND_ERROR;
        reply.SetData({});
    }
}

// --- ATAThread -------------------------------------------------------------------------------

ATAThread::ATAThread(IAtaWorkerHost& host, DeviceSource device, IMainThread& main,
                     AtaGlobals& globals, SharedFlags& flags, std::size_t queueLimit)
    : host_(host), main_(main), flags_(flags), queueLimit_(queueLimit),
      socket_(std::move(device), main, globals, flags) {}

ATAThread::~ATAThread() {
    Stop();
    // Completions and progress posted but not yet run find the worker gone.
    *alive_ = false;
}

bool ATAThread::Deliver(std::unique_ptr<PacketRecord> packet) {
    const std::size_t size = packet->body.size();
    std::string refused;
    {
        std::lock_guard g(lock_);
        if (queue_.size() >= queueLimit_) {
            refused = std::to_string(queueLimit_) + " packets are already waiting.";
        } else if (size > kMaxAtaQueueBytes - heldBytes_) {
            refused = "it has " + std::to_string(size) + " bytes and the packets held have " +
                      std::to_string(heldBytes_) + " of the " + std::to_string(kMaxAtaQueueBytes) +
                      " allowed.";
        } else {
            heldBytes_ += size;
            queue_.push_back(std::move(packet));
        }
    }
    if (!refused.empty()) {
        // Logged and answered outside the lock.
        host_.AtaLog("An ATA command packet was not run and is answered with errors: " + refused);
        PacketRecord reply;
        ATASocket::RefusalReply(*packet, reply);
        packet.reset();
        if (!reply.body.empty() && !host_.SendAtaReply(reply))
            host_.AtaLog("The reply to an ATA command packet could not be sent.");
        return false;
    }
    if (!thread_.joinable() && !terminate_) {
        flags_.SetOperationStopped();
        thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
    return true;
}

std::size_t ATAThread::HeldBytes() const {
    std::lock_guard g(lock_);
    return heldBytes_;
}

bool ATAThread::Busy() const {
    std::lock_guard g(lock_);
    return inFlight_ > 0;
}

std::size_t ATAThread::Queued() const {
    std::lock_guard g(lock_);
    return queue_.size();
}

std::size_t ATAThread::DiscardQueued() {
    std::lock_guard g(lock_);
    const std::size_t n = queue_.size();
    for (const auto& p : queue_)
        heldBytes_ -= p->body.size();
    queue_.clear();
    return n;
}

void ATAThread::Run() {
    for (;;) {
        std::unique_lock lk(lock_);
        wake_.wait(lk, [this] { return terminate_ || !queue_.empty(); });
        if (terminate_)
            break;
        std::unique_ptr<PacketRecord> batch = std::move(queue_.front());
        queue_.pop_front();
        const bool run = !flags_.AbortRequest();
        // Cleared before the batch shows as running, so that whoever sees it running also sees
        // the flag clear and waits for the end.
        if (run)
            flags_.ClearOperationStopped();
        ++inFlight_;
        lk.unlock();

        if (run) {
            // A batch shorter than a frame shows its start and end in one update, with the
            // completion; a longer one shows its start once a frame has passed.
            batchStart_ = lastProgress_ = std::chrono::steady_clock::now();
            startPosted_ = false;
            socket_.ProcessBatch(
                *batch, [this](int p) { PostProgress(p); },
                [this] {
                    PostStartOnceAFrameHasPassed();
                    return terminate_.load() || flags_.AbortRequest();
                });
        }
        if (terminate_)
            break;
        // The replies are the worker's until here; the completion on the main thread sends them
        // (or drops them when a reset came meanwhile) after the progress calls posted before it.
        auto reply = std::make_shared<PacketRecord>();
        socket_.FinishReply(*reply);
        const std::size_t bytes = batch->body.size();
        batch.reset();
        if (host_.RepliesFromWorker() && !reply->body.empty()) {
            // Sent from here unless a reset or the close came meanwhile, as the completion would;
            // the completion then only shows the end and counts the batch done.
            if (!terminate_ && !flags_.AbortRequest() && !host_.SendAtaReply(*reply))
                main_.Post([this, alive = alive_] {
                    if (*alive)
                        host_.AtaLog("The reply to an ATA command packet could not be sent.");
                });
            reply->body.clear();
        }
        const bool started = startPosted_;
        main_.Post([this, alive = alive_, reply, bytes, run, started] {
            if (!*alive)
                return;
            if (run && !started)
                host_.AtaProgressStart();
            Complete(*reply, bytes, run);
        });
    }
    finished_ = true;
}

void ATAThread::PostStartOnceAFrameHasPassed() {
    if (startPosted_ || std::chrono::steady_clock::now() - batchStart_ < kFrame)
        return;
    startPosted_ = true;
    main_.Post([this, alive = alive_] {
        if (*alive)
            host_.AtaProgressStart();
    });
}

void ATAThread::PostProgress(int percent) {
    // At most one progress update per frame, after the start; the stop that ends the batch
    // supersedes the last.
    PostStartOnceAFrameHasPassed();
    if (!startPosted_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastProgress_ < kFrame)
        return;
    lastProgress_ = now;
    main_.Post([this, alive = alive_, percent] {
        if (*alive)
            host_.AtaProgressStep(percent);
    });
}

void ATAThread::Complete(PacketRecord& reply, std::size_t bytes, bool ran) {
    if (ran)
        host_.AtaProgressStop();
    if (!terminate_ && !flags_.AbortRequest() && !reply.body.empty() && !host_.SendAtaReply(reply))
        host_.AtaLog("The reply to an ATA command packet could not be sent.");
    std::lock_guard g(lock_);
    heldBytes_ -= std::min(heldBytes_, bytes);
    if (inFlight_ > 0)
        --inFlight_;
    // The operation has stopped when no batch is running or waiting for its completion.
    if (inFlight_ == 0 && !terminate_)
        flags_.SetOperationStopped();
}

void ATAThread::Stop() {
    bool running = false;
    {
        std::lock_guard g(lock_);
        terminate_ = true;
        running = inFlight_ > 0;
    }
    wake_.notify_all();
    if (!thread_.joinable())
        return;
    // A command that waits on the drive ends at the abort request, not at its own time-out.
    const bool raised = running && !flags_.AbortRequest();
    if (raised)
        flags_.SetAbortRequest();
    while (!finished_) {
        main_.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
    main_.ProcessEvents(); // what the worker posted last
    if (raised)
        flags_.ClearAbortRequest();
    std::lock_guard g(lock_);
    queue_.clear();
    heldBytes_ = 0;
    inFlight_ = 0;
}

} // namespace zkv
