#include "helper/HelperServer.h"

#include "ata/AtaAttempts.h"
#include "ata/AtaThread.h"
#include "support/SharedFlags.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr std::uint8_t kIdentifyDevice = 0xEC;

} // namespace

bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t k = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (k < 0 && errno == ENOTSOCK)
            k = write(fd, bytes.data() + done, bytes.size() - done);
        if (k < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(k);
    }
    return true;
}

HelperServer::HelperServer(HelperHardware& hw, ServerOptions options)
    : hw_(hw), opt_(std::move(options)), globals_(AtaGlobals::Instance()),
      flags_(SharedFlags::Instance()), record_(opt_.stateDir) {
    list_ = std::make_unique<TClassInfoList>(hw_.Setup(), hw_.Port(), hw_.Clock(),
                                             hw_.PassThroughOpener());
    if (pipe2(wake_, O_CLOEXEC) != 0)
        wake_[0] = wake_[1] = -1;
    // A client that stops reading cannot hold the helper (and its channel) forever: a reply
    // that cannot be written for a minute ends the connection. Not a socket: no limit.
    const timeval limit{60, 0};
    setsockopt(opt_.out, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

HelperServer::~HelperServer() {
    if (watcher_.joinable()) {
        End("the helper ends");
        watcher_.join();
    }
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
}

void HelperServer::Log(const std::string& text) {
    if (opt_.log)
        opt_.log(text);
}

void HelperServer::End(const std::string& why) {
    {
        std::lock_guard g(lock_);
        if (endReason_.empty())
            endReason_ = why;
        stop_ = true;
    }
    flags_.SetAbortRequest();
    if (wake_[1] >= 0) {
        const std::uint8_t b = 1;
        [[maybe_unused]] auto k = write(wake_[1], &b, 1);
    }
}

int HelperServer::ReadFrame(int fd, FrameBuffer& buffer, Frame& f, std::string& why) {
    for (;;) {
        switch (buffer.Take(f)) {
        case FrameBuffer::Taken::Frame:
            if (std::uint32_t n = 0; f.type == MSG_ABORT && !DecodeAbort(f.payload, n)) {
                why = "a malformed abort request";
                return -1;
            }
            return 1;
        case FrameBuffer::Taken::PastTheBounds:
            why = "a frame past the bounds";
            return -1;
        case FrameBuffer::Taken::NotYet:
            break;
        }
        pollfd fds[3] = {{fd, POLLIN, 0}, {opt_.stop, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            why = std::string("poll: ") + std::strerror(errno);
            return -1;
        }
        if (fds[1].revents || fds[2].revents) {
            why = "asked to stop";
            return -2;
        }
        if (!fds[0].revents)
            continue;
        const long k = buffer.Fill(fd);
        if (k == 0) {
            why = buffer.Empty() ? "the connection closed" : "the connection closed inside a frame";
            return buffer.Empty() ? 0 : -1;
        }
        if (k == -1) {
            why = std::string("read: ") + std::strerror(errno);
            return -1;
        }
    }
}

std::string HelperServer::Run() {
    watcher_ = std::thread([this] { Watch(); });
    for (;;) {
        Frame f;
        std::string why;
        if (ReadFrame(opt_.in, inBuffer_, f, why) <= 0) {
            End(why);
            break;
        }
        if (f.type == MSG_ABORT) {
            Aborted(f);
            continue;
        }
        {
            std::lock_guard g(lock_);
            if (stop_)
                break;
            // The abort request is this request's alone: set when its abort came before it was
            // read (the two travel on different connections), clear otherwise.
            ++requests_;
            if (abortFor_ == requests_)
                flags_.SetAbortRequest();
            else
                flags_.ClearAbortRequest();
        }
        // Every request ends in exactly one reply or in the end of the connection.
        Handle(f);
        std::lock_guard g(lock_);
        if (stop_)
            break;
    }
    watcher_.join();
    if (taken_) {
        std::string message;
        bool restart = false;
        GiveBack(message, restart);
    }
    std::lock_guard g(lock_);
    return endReason_;
}

void HelperServer::Watch() {
    // The client sends its abort requests on the reply connection, the other way: they reach the
    // running request without the request's thread reading them and without waking this thread
    // for every request. A helper on a single connection (or a reply pipe) takes an abort only
    // between requests; here it then watches the stop alone.
    struct stat in {
    }, out{};
    const bool apart = fstat(opt_.in, &in) == 0 && fstat(opt_.out, &out) == 0 &&
                       S_ISSOCK(out.st_mode) &&
                       (in.st_dev != out.st_dev || in.st_ino != out.st_ino);
    for (;;) {
        pollfd fds[3] = {{opt_.stop, POLLIN, 0}, {wake_[0], POLLIN, 0}, {opt_.out, POLLIN, 0}};
        if (poll(fds, apart ? 3 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            End(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents)
            return; // ended
        if (fds[0].revents) {
            End("asked to stop");
            return;
        }
        if (!apart || !fds[2].revents)
            continue;
        Frame f;
        std::string why;
        if (ReadFrame(opt_.out, outBuffer_, f, why) <= 0) {
            End(why);
            return;
        }
        if (f.type != MSG_ABORT) {
            End("a request on the reply connection");
            return;
        }
        Aborted(f);
    }
}

void HelperServer::Aborted(const Frame& abort) {
    std::uint32_t request = 0;
    DecodeAbort(abort.payload, request); // checked when it was read
    std::lock_guard g(lock_);
    if (request == requests_)
        flags_.SetAbortRequest(); // the running request, or the one just answered (no harm)
    else if (request > requests_)
        abortFor_ = std::max(abortFor_, request); // sent after a request not read yet
    // An older one came after its request's answer: nothing to stop.
}

void HelperServer::Reply(std::uint8_t type, std::span<const std::uint8_t> payload) {
    if (payload.size() + 1 > kMaxFrame) {
        End("a reply past the bounds");
        return;
    }
    {}
    if (!WriteAll(opt_.out, EncodeFrame(type, payload)))
        End(std::string("write: ") + std::strerror(errno));
}

void HelperServer::Refuse(std::uint16_t code, const std::string& message) {
    Log("Refused: " + message);
    Reply(MSG_ERROR, EncodeError(code, message));
}

void HelperServer::Handle(const Frame& f) {
    if (f.type == MSG_HELLO) {
        HandleHello(f);
        return;
    }
    if (!hello_) {
        Refuse(ERR_VERSION, "the connection must begin with a hello");
        End("no hello");
        return;
    }
    switch (f.type) {
    case MSG_LIST:
        if (!f.payload.empty())
            Refuse(ERR_MALFORMED, "malformed list request");
        else
            HandleList();
        break;
    case MSG_TAKE:
        HandleTake(f);
        break;
    case MSG_GIVE:
        HandleGive(f);
        break;
    case MSG_BATCH:
        HandleBatch(f);
        break;
    case MSG_STATUS:
        HandleStatus(f);
        break;
    case MSG_DEVICE:
        HandleDevice(f);
        break;
    default:
        Refuse(ERR_UNKNOWN, "unknown request " + std::to_string(f.type));
    }
}

void HelperServer::HandleHello(const Frame& f) {
    std::uint16_t version = 0;
    if (hello_ || !DecodeHello(f.payload, version) || version != kProtocolVersion) {
        Refuse(ERR_VERSION, "protocol version " + std::to_string(kProtocolVersion) + " only");
        End("a bad hello");
        return;
    }
    hello_ = true;
    const auto payload = EncodeHello();
    Reply(MSG_HELLO | MSG_REPLY, payload);
}

void HelperServer::HandleList() {
    std::vector<ListEntry> out;
    for (DeviceClassKind kind : {DeviceClassKind::HardDiskController, DeviceClassKind::RaidAdapter})
        for (DeviceSetupEntry& d : hw_.Setup().Enumerate(kind)) {
            const DeviceStatus st = hw_.Setup().Status(d.key);
            const TControllerInfo* e = list_->FindByKey(d.key);
            ListEntry l;
            l.key = d.key;
            l.description = d.deviceDesc;
            l.drivable = e && e->Drivable() &&
                         (!dynamic_cast<const THDCDevice*>(e) || e->Ranges().size() == 2);
            l.disabled = st.present && st.disabled;
            l.disableable = st.present && st.disableable;
            l.taken = e && e == taken_;
            l.ranges = d.ranges;
            l.driver = st.driver;
            l.reason = st.reason;
            l.setup = std::move(d);
            out.push_back(std::move(l));
        }
    Reply(MSG_LIST | MSG_REPLY, EncodeList(out));
}

void HelperServer::HandleTake(const Frame& f) {
    std::string key;
    if (!DecodeKey(f.payload, key)) {
        Refuse(ERR_MALFORMED, "malformed take request");
        return;
    }
    if (taken_) {
        if (SameDeviceKey(key, taken_->Driver)) {
            Reply(MSG_TAKE | MSG_REPLY, EncodeChannelReply({true, false, "already taken"}));
            return;
        }
        Refuse(ERR_BUSY, "channel " + taken_->Driver + " is taken; give it back first");
        return;
    }
    TControllerInfo* e = list_->FindByKey(key);
    // An IDE channel (its command and control blocks) or a pass-through channel.
    const bool ide = dynamic_cast<THDCDevice*>(e) != nullptr;
    if (!e || !e->Drivable() || (ide && e->Ranges().size() != 2)) {
        Refuse(ERR_NO_CHANNEL, "no channel " + key);
        return;
    }
    e->RefreshStatus();
    ChannelReply out;
    const int r = e->PrepareForRepair(out.restartNeeded, out.ok, out.message);
    if (e->DisabledByMe()) {
        taken_ = e; // given back at the end whatever follows
        std::string error;
        if (!record_.Write(e->Driver, e->KernelDriver, error))
            Log("Could not keep the record of channel " + e->Driver + ": " + error);
    }
    if (r != 0 || !out.ok) {
        out.ok = false;
        if (out.message.empty())
            out.message = e->Refusal.empty() ? "the channel could not be taken" : e->Refusal;
    } else if (!out.restartNeeded) {
        std::string error;
        if (!ide) {
            // No port grant: the commands go to the disk's SCSI generic node.
            hw_.GrantPassThrough();
            taken_ = e;
        } else if (!hw_.Grant(e->Ranges(), error)) {
            out.ok = false;
            out.message = "No port access: " + error;
        } else {
            taken_ = e;
        }
    }
    if (!out.ok && taken_ == e) {
        std::string m;
        bool restart = false;
        GiveBack(m, restart);
    }
    Log((out.ok ? "Took channel " : "Did not take channel ") + key +
        (out.message.empty() ? std::string() : ": " + out.message));
    Reply(MSG_TAKE | MSG_REPLY, EncodeChannelReply(out));
}

bool HelperServer::GiveBack(std::string& message, bool& restart) {
    TControllerInfo* e = taken_;
    taken_ = nullptr;
    hw_.Revoke();
    if (!e)
        return true;
    bool ok = true;
    if (e->DisabledByMe()) {
        e->RefreshStatus();
        if (e->EnableChannel(restart) != 0) {
            ok = false;
            message = e->Refusal.empty() ? "the channel could not be given back" : e->Refusal;
        } else if (!restart) {
            e->SetDisabledByMe(false);
        }
        if (ok)
            record_.Clear();
        list_->RefreshStatus();
    }
    Log((ok ? "Gave back channel " : "Could not give back channel ") + e->Driver +
        (message.empty() ? std::string() : ": " + message));
    return ok;
}

void HelperServer::HandleGive(const Frame& f) {
    std::string key;
    if (!DecodeKey(f.payload, key)) {
        Refuse(ERR_MALFORMED, "malformed give request");
        return;
    }
    if (!taken_ || !SameDeviceKey(key, taken_->Driver)) {
        Refuse(ERR_NOT_TAKEN, "channel " + key + " is not the one taken");
        return;
    }
    ChannelReply out;
    out.ok = GiveBack(out.message, out.restartNeeded);
    Reply(MSG_GIVE | MSG_REPLY, EncodeChannelReply(out));
}

TControllerInfo* HelperServer::Checked(const std::string& key) {
    if (!taken_ || !SameDeviceKey(key, taken_->Driver)) {
        Refuse(ERR_NOT_TAKEN, "channel " + key + " is not the one taken");
        return nullptr;
    }
    if (!hw_.Ready()) {
        Refuse(ERR_NO_CHANNEL, "channel " + key + " has no port access (restart pending)");
        return nullptr;
    }
    return taken_;
}

std::vector<std::uint8_t> HelperServer::RunCommand(TControllerInfo& dev, AtaCommandRecord& rec,
                                                   std::size_t& traceBudget) {
    // The same attempts as the client's own ATA worker.
    const std::vector<std::uint8_t> written = rec.Buffer;
    const auto traces = RunCommandAttempts(dev, rec, written, globals_, flags_, traceBudget);
    if (rec.Result == ATA_OK && rec.CR == kIdentifyDevice && rec.Buffer.size() >= 512)
        globals_.CurrentId.LoadIdentifyData(
            std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512));
    return AtaCommandReplyData(rec, traces);
}

void HelperServer::HandleBatch(const Frame& f) {
    BatchRequest batch;
    std::string why;
    if (!DecodeBatch(f.payload, batch, why)) {
        Refuse(ERR_BOUNDS, why);
        return;
    }
    TControllerInfo* dev = Checked(batch.key);
    if (!dev)
        return;
    dev->SetMaster(!batch.slave);
    if (batch.freshStreak) {
        globals_.fCriticalATAError = false;
        globals_.FailureStreak = 0;
    }
    BatchReply reply;
    std::size_t traceBudget = kMaxTraceBytes;
    std::size_t size = 16;
    for (BatchEntry& e : batch.entries) {
        if (flags_.AbortRequest()) {
            reply.aborted = true;
            break;
        }
        BatchResult res;
        res.kind = e.kind;
        if (e.kind == ENTRY_COMMAND) {
            res.bytes = RunCommand(*dev, e.rec, traceBudget);
        } else {
            if (e.kind == ENTRY_STATUS)
                dev->ReadStatus(e.rec);
            else
                dev->ResetDevice(e.rec);
            res.bytes = EncodeRecord(e.rec);
        }
        size += res.bytes.size() + 5;
        if (size > kMaxFrame - 1) {
            // Cannot happen within the batch bounds; stop rather than send past the frame's.
            Log("A batch's reply reached its bound; the batch was cut short.");
            reply.aborted = true;
            break;
        }
        reply.results.push_back(std::move(res));
    }
    if (reply.aborted && flags_.AbortRequest())
        Log("A batch was stopped by the abort request after " +
            std::to_string(reply.results.size()) + " entries.");
    Reply(MSG_BATCH | MSG_REPLY, EncodeBatchReply(reply));
}

void HelperServer::HandleStatus(const Frame& f) {
    std::string key;
    bool slave = false;
    if (!DecodeStatusRequest(f.payload, key, slave)) {
        Refuse(ERR_MALFORMED, "malformed status request");
        return;
    }
    TControllerInfo* dev = Checked(key);
    if (!dev)
        return;
    dev->SetMaster(!slave);
    AtaCommandRecord rec;
    dev->ReadStatus(rec);
    Reply(MSG_STATUS | MSG_REPLY, EncodeRecord(rec));
}

void HelperServer::HandleDevice(const Frame& f) {
    DeviceRequest req;
    if (!DecodeDeviceRequest(f.payload, req)) {
        Refuse(ERR_MALFORMED, "malformed device request");
        return;
    }
    TControllerInfo* dev = Checked(req.key);
    if (!dev)
        return;
    dev->SetMaster(!req.slave);
    DeviceReply out;
    switch (req.op) {
    case OP_DETECT:
        out.result = dev->DetectDevices();
        break;
    case OP_IDENTIFY:
    case OP_IDENTIFY_PACKET: {
        DriveInfo& info = req.slave ? dev->SlaveInfo() : dev->MasterInfo();
        out.result =
            req.op == OP_IDENTIFY ? dev->IdentifyDevice(info) : dev->IdentifyPacketDevice(info);
        break;
    }
    case OP_SELECT:
        dev->SelectDevice();
        break;
    case OP_SET_FEATURES:
        out.rec = req.rec;
        dev->SetFeatures(out.rec, req.feature);
        break;
    }
    out.master = dev->Master();
    out.masterInfo = dev->MasterInfo();
    out.slaveInfo = dev->SlaveInfo();
    out.identify = globals_.CurrentId.Raw();
    Reply(MSG_DEVICE | MSG_REPLY, EncodeDeviceReply(out));
}

} // namespace zkv::helper
