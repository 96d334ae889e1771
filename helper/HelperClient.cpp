#include "helper/HelperClient.h"

#include "ata/HDCDevice.h"
#include "helper/FrameBuffer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zkv::helper {

bool WriteAll(int fd, std::span<const std::uint8_t> bytes); // HelperServer.cpp

namespace {

using Clock = std::chrono::steady_clock;

// Waits until one whole reply frame is in `buffer`, reading `fd` before `deadline`. `watch` is
// called every 20 ms meanwhile. False on end of file, error, a frame past the bounds or time-out.
bool ReadReply(int fd, FrameBuffer& buffer, Frame& reply, Clock::time_point deadline,
               std::string& error, const std::function<bool()>& watch) {
    for (;;) {
        switch (buffer.Take(reply)) {
        case FrameBuffer::Taken::Frame:
            return true;
        case FrameBuffer::Taken::PastTheBounds:
            error = "the disk helper's reply is malformed";
            return false;
        case FrameBuffer::Taken::NotYet:
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = "the disk helper did not answer in time";
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        const long long slice = watch ? 20 : 1 << 30;
        const int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, slice)));
        if (r < 0 && errno != EINTR) {
            error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (r == 0 && watch)
            watch();
        if (r <= 0)
            continue;
        const long k = buffer.Fill(fd);
        if (k == 0) {
            error = "the disk helper closed the connection";
            return false;
        }
        if (k == -1) {
            error = std::string("read: ") + std::strerror(errno);
            return false;
        }
    }
}

// The longest a batch may take: what its records allow, plus a margin for the round trip.
long long BatchTimeoutMs(const BatchRequest& b, long long base) {
    long long ms = base;
    for (const BatchEntry& e : b.entries) {
        const long long t = std::clamp<long long>(e.rec.Time, 0, kMaxCommandTime) + 1000;
        ms += t * std::max<long long>(1, std::min(e.rec.RepeatCnt, kMaxRepeatCount));
    }
    return std::min<long long>(ms, 24LL * 3600 * 1000);
}

} // namespace

DiskHelperClient::DiskHelperClient(int fd, int replyFd)
    : fd_(fd), replyFd_(replyFd >= 0 ? replyFd : fd) {}

DiskHelperClient::~DiskHelperClient() {
    Close();
    // The helper ends once it has given its channel back; it is waited for a bounded time (a
    // helper that runs as root cannot be killed from here).
    for (int i = 0; pid_ > 0 && i < 1000; ++i) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            break;
        usleep(10000);
    }
}

std::unique_ptr<DiskHelperClient> DiskHelperClient::Start(const std::vector<std::string>& argv,
                                                          std::string& error,
                                                          const std::vector<std::string>& dropEnv) {
    if (argv.empty()) {
        error = "no program";
        return nullptr;
    }
    // Two connections: requests on the helper's standard input, replies on its standard output,
    // which carries the abort requests the other way, so that they reach a running request
    // without the helper reading its requests' connection meanwhile.
    int sv[2], rv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return nullptr;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rv) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        close(sv[0]);
        close(sv[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, sv[1], 0);
    posix_spawn_file_actions_adddup2(&fa, rv[1], 1);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        bool drop = false;
        for (const std::string& name : dropEnv)
            drop = drop || (entry.size() > name.size() &&
                            entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=');
        if (!drop)
            env.push_back(*e);
    }
    env.push_back(nullptr);
    const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&fa);
    close(sv[1]);
    close(rv[1]);
    if (rc != 0) {
        close(sv[0]);
        close(rv[0]);
        error = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return nullptr;
    }
    auto c = std::make_unique<DiskHelperClient>(sv[0], rv[0]);
    c->pid_ = pid;
    return c;
}

bool DiskHelperClient::Send(std::uint8_t type, std::span<const std::uint8_t> payload) {
    std::lock_guard g(writeLock_);
    if (fd_ < 0 || payload.size() + 1 > kMaxFrame)
        return false;
    if (type == MSG_ABORT)
        return WriteAll(replyFd_, EncodeFrame(type, payload));
    ++sent_;
    return WriteAll(fd_, EncodeFrame(type, payload));
}

bool DiskHelperClient::Call(std::uint8_t type, std::span<const std::uint8_t> payload, Frame& reply,
                            std::string& error, long long timeout) {
    std::lock_guard g(callLock_);
    refusal_ = 0;
    if (fd_ < 0) {
        error = "the disk helper is not connected";
        return false;
    }
    if (!Send(type, payload)) {
        error = "the request could not be sent to the disk helper";
        Close();
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    // Only batches and device operations wait on the drive: they are the ones an abort cuts.
    std::function<bool()> watch;
    bool abortSent = false;
    if (abortRequested && (type == MSG_BATCH || type == MSG_DEVICE))
        watch = [this, &abortSent] {
            if (!abortSent && abortRequested())
                abortSent = Abort();
            return abortSent;
        };
    if (!ReadReply(replyFd_, replies_, reply, deadline, error, watch)) {
        Close();
        return false;
    }
    if (reply.type != (type | MSG_REPLY) && reply.type != MSG_ERROR) {
        error = "the disk helper's reply is malformed";
        Close();
        return false;
    }
    if (reply.type == MSG_ERROR) {
        std::uint16_t code = 0;
        if (!DecodeError(reply.payload, code, error)) {
            error = "the disk helper's reply is malformed";
            Close();
            return false;
        }
        refusal_ = code;
        return false;
    }
    return true;
}

template <class Decode>
bool DiskHelperClient::CallDecoded(std::uint8_t type, std::span<const std::uint8_t> payload,
                                   long long timeout, std::string& error, const char* malformed,
                                   Decode&& decode) {
    Frame f;
    if (!Call(type, payload, f, error, timeout))
        return false;
    if (!decode(std::span<const std::uint8_t>(f.payload))) {
        error = malformed;
        Close();
        return false;
    }
    return true;
}

bool DiskHelperClient::Hello(std::string& error) {
    std::uint16_t version = 0;
    return CallDecoded(MSG_HELLO, EncodeHello(), timeoutMs, error,
                       "the disk helper speaks another protocol version", [&](auto payload) {
                           return DecodeHello(payload, version) && version == kProtocolVersion;
                       });
}

bool DiskHelperClient::List(std::vector<ListEntry>& entries, std::string& error) {
    return CallDecoded(MSG_LIST, {}, timeoutMs, error, "the disk helper's list is malformed",
                       [&](auto payload) { return DecodeList(payload, entries); });
}

bool DiskHelperClient::ChannelCall(std::uint8_t type, const std::string& key, ChannelReply& reply,
                                   std::string& error) {
    return CallDecoded(type, EncodeKey(key), timeoutMs, error,
                       "the disk helper's reply is malformed",
                       [&](auto payload) { return DecodeChannelReply(payload, reply); });
}

bool DiskHelperClient::Take(const std::string& key, ChannelReply& reply, std::string& error) {
    return ChannelCall(MSG_TAKE, key, reply, error);
}

bool DiskHelperClient::Give(const std::string& key, ChannelReply& reply, std::string& error) {
    return ChannelCall(MSG_GIVE, key, reply, error);
}

bool DiskHelperClient::RunBatch(const BatchRequest& batch, BatchReply& reply, std::string& error) {
    return CallDecoded(MSG_BATCH, EncodeBatch(batch), BatchTimeoutMs(batch, timeoutMs), error,
                       "the disk helper's batch reply is malformed", [&](auto payload) {
                           return DecodeBatchReply(payload, reply) &&
                                  reply.results.size() <= batch.entries.size();
                       });
}

bool DiskHelperClient::ReadStatus(const std::string& key, bool slave, AtaCommandRecord& rec,
                                  std::string& error) {
    return CallDecoded(MSG_STATUS, EncodeStatusRequest(key, slave), timeoutMs, error,
                       "the disk helper's status reply is malformed",
                       [&](auto payload) { return DecodeRecord(payload, rec); });
}

bool DiskHelperClient::Device(const DeviceRequest& request, DeviceReply& reply,
                              std::string& error) {
    // A detection may reset both positions: its records allow 40 s each.
    return CallDecoded(MSG_DEVICE, EncodeDeviceRequest(request), timeoutMs + 2 * 40000LL, error,
                       "the disk helper's device reply is malformed",
                       [&](auto payload) { return DecodeDeviceReply(payload, reply); });
}

bool DiskHelperClient::Abort() {
    return Send(MSG_ABORT, EncodeAbort(sent_));
}

void DiskHelperClient::Close() {
    std::lock_guard g(writeLock_);
    if (replyFd_ >= 0 && replyFd_ != fd_)
        close(replyFd_);
    if (fd_ >= 0)
        close(fd_);
    fd_ = replyFd_ = -1;
}

// --- THelperChannel ----------------------------------------------------------------------------

THelperChannel::THelperChannel(DiskHelperClient& client, std::string key, TControllerInfo* local)
    : client_(client), local_(local), key_(std::move(key)) {
    className_ = "THelperChannel";
    Driver = key_;
}

bool THelperChannel::Device(std::uint8_t op, DeviceReply& reply, std::uint8_t feature,
                            const AtaCommandRecord* rec) {
    DeviceRequest req;
    req.key = key_;
    req.slave = Slave();
    req.op = op;
    req.feature = feature;
    if (rec)
        req.rec = *rec;
    if (!client_.Device(req, reply, error_))
        return false;
    if (op == OP_DETECT) {
        MasterInfo() = reply.masterInfo;
        SlaveInfo() = reply.slaveInfo;
        SetMaster(reply.master);
        if (local_)
            local_->SetMaster(reply.master);
    }
    if (reply.identify)
        Globals().CurrentId.LoadIdentifyData(
            std::span<const std::uint8_t, 512>(reply.identify->data(), 512));
    return true;
}

int THelperChannel::DetectDevices() {
    DeviceReply r;
    return Device(OP_DETECT, r) ? r.result : 1;
}

int THelperChannel::IdentifyDevice(DriveInfo& info) {
    DeviceReply r;
    if (!Device(OP_IDENTIFY, r))
        return ATA_NO_DEVICE;
    info = Slave() ? r.slaveInfo : r.masterInfo;
    return r.result;
}

int THelperChannel::IdentifyPacketDevice(DriveInfo& info) {
    DeviceReply r;
    if (!Device(OP_IDENTIFY_PACKET, r))
        return ATA_NO_DEVICE;
    info = Slave() ? r.slaveInfo : r.masterInfo;
    return r.result;
}

void THelperChannel::SelectDevice() {
    DeviceReply r;
    Device(OP_SELECT, r);
}

void THelperChannel::SetFeatures(AtaCommandRecord& rec, std::uint8_t feature) {
    DeviceReply r;
    if (!Device(OP_SET_FEATURES, r, feature, &rec)) {
        rec.Result = ATA_NO_DEVICE;
        return;
    }
    std::vector<std::uint8_t> buffer = std::move(rec.Buffer);
    rec = std::move(r.rec);
    rec.Buffer = std::move(buffer);
}

bool THelperChannel::RunBatch(std::vector<BatchEntry>& entries, bool& aborted, bool freshStreak) {
    aborted = false;
    traces_.clear();
    BatchRequest b;
    b.key = key_;
    b.freshStreak = freshStreak;
    b.slave = Slave();
    b.entries = entries;
    BatchReply reply;
    if (!client_.RunBatch(b, reply, error_))
        return false;
    for (std::size_t i = 0; i < reply.results.size(); ++i) {
        const BatchResult& res = reply.results[i];
        AtaCommandRecord& rec = entries[i].rec;
        const bool ok = res.kind == entries[i].kind &&
                        (res.kind == ENTRY_COMMAND ? DecodeCommandResult(res.bytes, rec, &traces_)
                                                   : DecodeRecord(res.bytes, rec));
        if (!ok) {
            error_ = "the disk helper's result " + std::to_string(i) + " is malformed";
            client_.Close();
            return false;
        }
    }
    for (std::size_t i = reply.results.size(); i < entries.size(); ++i)
        entries[i].rec.Result = ATA_ABORT;
    aborted = reply.aborted;
    return true;
}

bool THelperChannel::RunRemote(std::vector<RemoteEntry>& run, bool freshStreak) {
    BatchRequest b;
    b.key = key_;
    b.freshStreak = freshStreak;
    b.slave = Slave();
    b.entries.resize(run.size());
    for (std::size_t i = 0; i < run.size(); ++i) {
        b.entries[i].kind = run[i].kind;
        b.entries[i].rec = run[i].rec;
        run[i].ran = false;
    }
    BatchReply reply;
    if (!client_.RunBatch(b, reply, error_))
        return false;
    for (std::size_t i = 0; i < reply.results.size(); ++i) {
        const BatchResult& res = reply.results[i];
        RemoteEntry& e = run[i];
        e.traces.clear();
        const bool ok =
            res.kind == e.kind &&
            (res.kind == ENTRY_COMMAND ? DecodeCommandResult(res.bytes, e.rec, &e.traces)
                                       : DecodeRecord(res.bytes, e.rec));
        if (!ok) {
            error_ = "the disk helper's result " + std::to_string(i) + " is malformed";
            client_.Close();
            return false;
        }
        e.ran = true;
    }
    return true;
}

void THelperChannel::RunOne(std::uint8_t kind, AtaCommandRecord& rec) {
    std::vector<BatchEntry> one(1);
    one[0].kind = kind;
    one[0].rec = rec;
    // One execution, as on a channel of this process: the caller repeats when it wants to.
    const std::uint32_t repeat = rec.RepeatCnt;
    if (kind == ENTRY_COMMAND)
        one[0].rec.RepeatCnt = 1;
    bool aborted = false;
    // A single operation continues the streak of the batch it belongs to.
    if (!RunBatch(one, aborted, false)) {
        rec.Result = ATA_NO_DEVICE;
        rec.DataLen = 0;
        return;
    }
    rec = std::move(one[0].rec);
    if (kind == ENTRY_COMMAND)
        rec.RepeatCnt = repeat;
}

void THelperChannel::ExecuteCommand(AtaCommandRecord& rec) {
    RunOne(ENTRY_COMMAND, rec);
}

void THelperChannel::ReadStatus(AtaCommandRecord& rec) {
    RunOne(ENTRY_STATUS, rec);
}

void THelperChannel::ResetDevice(AtaCommandRecord& rec) {
    RunOne(ENTRY_RESET, rec);
}

} // namespace zkv::helper
