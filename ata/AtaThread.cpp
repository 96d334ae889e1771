#include "ata/AtaThread.h"

#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"

#include <chrono>

namespace zkv {

namespace {

constexpr std::uint8_t kIdentifyDevice = 0xEC;

void AnswerError(const ItemRecord& command, ItemRecord& reply) {
    if (command.WantsReply()) {
        reply.code = COMMAND_ERROR;
        reply.SetData({});
    }
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
    replies_.Clear();
    requestHeader_ = request.header;
    progress_ = 0;

    PacketConverter items(request);
    if (items.GetStatus() != 0)
        return;
    const std::size_t n = items.Count();
    for (std::size_t i = 0; i < n; ++i) {
        if (stop && stop())
            break;
        const int percent = static_cast<int>(i * 100 / n);
        if (percent != progress_) {
            progress_ = percent;
            if (progress)
                progress(percent);
        }
        ItemRecord reply;
        ItemRecord followUp;
        DispatchCommandItem(*items.Item(i), reply, followUp);
        if (reply.code != NO_REPLY)
            replies_.AddItem(std::move(reply));
    }
}

void ATASocket::FinishReply(PacketRecord& reply) {
    reply.header = PacketHeader{};
    reply.body.clear();
    reply.header.exchangeId = requestHeader_.exchangeId;
    if (replies_.Count() > 0) {
        replies_.SerializeInto(reply);
        reply.header.senderRole = requestHeader_.addresseeRole != 0
                                      ? requestHeader_.addresseeRole
                                      : static_cast<std::uint8_t>(Role::CLIENT);
        reply.header.addresseeRole = requestHeader_.senderRole;
        reply.header.kind = REPLY_PACKET;
        // The answer goes to the technician who sent the batch.
        reply.header.delivery = FOR_ONE;
        reply.header.destinationId = requestHeader_.senderId;
    }
    replies_.Clear();
}

void ATASocket::DropReplies() {
    replies_.Clear();
}

void ATASocket::OnCmdAtaCommand(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    auto data = command.Data();
    AtaCommandRecord rec;
    if (!rec.Decode(data)) {
        AnswerError(command, reply); // no record to work on
        return;
    }
    const auto trailing = data.subspan(AtaCommandRecord::kSize);
    if (rec.DataLen < 0)
        rec.DataLen = 0;
    // The item must carry what it asks to write, and a read may not ask for more than one
    // command can move: such an item is refused before the drive or the allocator sees it.
    if ((IsWriteProtocol(rec.Protocol) &&
         trailing.size() < static_cast<std::size_t>(rec.DataLen)) ||
        (IsReadProtocol(rec.Protocol) && rec.DataLen > kMaxCommandBuffer)) {
        AnswerError(command, reply);
        return;
    }

    TControllerInfo* dev = device_ ? device_() : nullptr;
    std::vector<std::vector<std::uint8_t>> traces;
    if (!flags_.DeviceReady() || !dev) {
        rec.Result = ATA_NO_DEVICE;
        rec.DataLen = 0;
        rec.Time = 0;
    } else {
        const std::uint32_t attempts = rec.RepeatCnt == 0 ? 1 : rec.RepeatCnt;
        PrepareCommandBuffer(rec, trailing);
        const std::size_t bufferSize = rec.Buffer.size();
        const auto saved = rec.Encode();
        std::vector<std::uint8_t> trace;
        std::size_t traced = 0;
        for (std::uint32_t k = 1; k <= attempts; ++k) {
            rec.DecodeFrom(saved.data());
            if (IsReadProtocol(rec.Protocol) && rec.Buffer.size() != bufferSize)
                rec.Buffer.resize(bufferSize);
            const bool logThis = rec.Has(WRITELOG) && traced + kTraceBufferSize <= kMaxTraceBytes;
            if (logThis) {
                trace.assign(kTraceBufferSize, 0);
                dev->Log().Attach(trace.data(), kTraceBufferSize);
            }
            dev->ExecuteCommand(rec);
            if (logThis) {
                trace.resize(dev->Log().BytesUsed());
                dev->Log().Attach(nullptr, 0);
                traced += trace.size() + 4;
                traces.push_back(std::move(trace));
                trace = {};
            }
            if (rec.Result == ATA_OK) {
                rec.RepeatCnt = k;
                if (rec.CR == kIdentifyDevice && rec.Buffer.size() >= 512)
                    globals_.CurrentId.LoadIdentifyData(
                        std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512));
                break;
            }
            if (globals_.FailureStreak > 5 && !globals_.fCriticalATAError && !rec.Has(IGNOREERRORS))
                globals_.fCriticalATAError = true;
            // A reset or the end of the program cuts the repetitions short.
            if (flags_.AbortRequest())
                break;
        }
    }
    if (command.WantsReply()) {
        reply.code = COMMAND_OK;
        reply.SetData(AtaCommandReplyData(rec, traces));
    }
}

void ATASocket::OnCmdAtaGetStatus(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    AtaCommandRecord rec;
    if (TControllerInfo* dev = device_ ? device_() : nullptr)
        dev->ReadStatus(rec);
    else
        rec.Result = ATA_NO_DEVICE;
    AnswerRecord(reply, rec);
}

void ATASocket::OnCmdAtaReset(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    AtaCommandRecord rec;
    rec.Flags = READREGS;
    if (command.flags & 0x40)
        rec.Flags |= NOREADYDRSC;
    TControllerInfo* dev = device_ ? device_() : nullptr;
    if (flags_.DeviceReady() && dev) {
        rec.Time = 40000;
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
}

bool ATAThread::Deliver(std::unique_ptr<PacketRecord> packet) {
    {
        std::lock_guard g(lock_);
        if (queue_.size() >= queueLimit_) {
            // Logged below, outside the lock.
        } else {
            queue_.push_back(std::move(packet));
            packet.reset();
        }
    }
    if (packet) {
        host_.AtaLog("An ATA command packet was dropped: " + std::to_string(queueLimit_) +
                     " packets are already waiting.");
        return false;
    }
    if (!thread_.joinable() && !terminate_) {
        flags_.SetOperationStopped();
        thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
    return true;
}

bool ATAThread::Busy() const {
    std::lock_guard g(lock_);
    return busy_;
}

std::size_t ATAThread::Queued() const {
    std::lock_guard g(lock_);
    return queue_.size();
}

std::size_t ATAThread::DiscardQueued() {
    std::lock_guard g(lock_);
    const std::size_t n = queue_.size();
    queue_.clear();
    return n;
}

void ATAThread::Run() {
    for (;;) {
        std::unique_lock lk(lock_);
        wake_.wait(lk, [this] { return terminate_ || !queue_.empty(); });
        if (terminate_)
            break;
        current_ = std::move(queue_.front());
        queue_.pop_front();
        const bool run = !flags_.AbortRequest();
        // Cleared before the batch shows as running, so that whoever sees it running also sees
        // the flag clear and waits for the end.
        if (run)
            flags_.ClearOperationStopped();
        busy_ = true;
        lk.unlock();

        if (run) {
            main_.Invoke([this] { host_.AtaProgressStart(); });
            socket_.ProcessBatch(
                *current_, [this](int p) { main_.Invoke([this, p] { host_.AtaProgressStep(p); }); },
                [this] { return terminate_.load() || flags_.AbortRequest(); });
            main_.Invoke([this] { host_.AtaProgressStop(); });
        }
        if (terminate_)
            break;
        main_.Invoke([this] { Complete(); });
    }
    finished_ = true;
}

void ATAThread::Complete() {
    if (!terminate_) {
        if (flags_.AbortRequest()) {
            socket_.DropReplies();
        } else {
            PacketRecord reply;
            socket_.FinishReply(reply);
            if (!reply.body.empty() && !host_.SendAtaReply(reply))
                host_.AtaLog("The reply to an ATA command packet could not be sent.");
        }
        flags_.SetOperationStopped();
    }
    std::lock_guard g(lock_);
    current_.reset();
    busy_ = false;
}

void ATAThread::Stop() {
    {
        std::lock_guard g(lock_);
        terminate_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable())
        return;
    while (!finished_) {
        main_.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
    std::lock_guard g(lock_);
    queue_.clear();
    current_.reset();
    busy_ = false;
}

} // namespace zkv
