// The client's side of the disk helper: DiskHelperClient speaks the protocol over one end of a
// socket pair whose other end is the helper's standard input and output; THelperChannel is a
// channel entry whose engine operations run in the helper.
//
// Every reply is bounded in bytes (kMaxFrame) and in time (a time-out per call; a batch's grows
// with the times and repetitions its records allow). A reply that does not decode, a reply of
// the wrong type or a time-out ends the connection: the helper then gives its channel back.
#pragma once

#include "ata/ControllerInfo.h"
#include "helper/FrameBuffer.h"
#include "helper/HelperProtocol.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zkv::helper {

class DiskHelperClient {
public:
    // Owns `fd` (closed with the client).
    // Requests go out on `fd`; the replies come in on `replyFd`, which also carries the abort
    // requests out (the same descriptor when there is one connection).
    explicit DiskHelperClient(int fd, int replyFd = -1);
    ~DiskHelperClient();
    DiskHelperClient(const DiskHelperClient&) = delete;
    DiskHelperClient& operator=(const DiskHelperClient&) = delete;

    // Starts `argv` (argv[0] a path) with one end of a new socket pair as its standard input
    // and output; standard error is inherited. nullptr with `error` set when it cannot start.
    // `dropEnv` names environment variables the helper does not inherit.
    static std::unique_ptr<DiskHelperClient> Start(const std::vector<std::string>& argv,
                                                   std::string& error,
                                                   const std::vector<std::string>& dropEnv = {});
    // The started helper's process id (-1 when the client was made from a descriptor).
    pid_t Pid() const { return pid_; }

    bool Hello(std::string& error);
    bool List(std::vector<ListEntry>& entries, std::string& error);
    bool Take(const std::string& key, ChannelReply& reply, std::string& error);
    bool Give(const std::string& key, ChannelReply& reply, std::string& error);
    bool RunBatch(const BatchRequest& batch, BatchReply& reply, std::string& error);
    bool ReadStatus(const std::string& key, bool slave, AtaCommandRecord& rec, std::string& error);
    bool Device(const DeviceRequest& request, DeviceReply& reply, std::string& error);
    // Any thread, also while a batch runs: asks the helper to stop the running batch.
    bool Abort();
    // Closes the connection; the helper gives back its channel and ends.
    void Close();
    bool Connected() const { return fd_ >= 0; }
    // The code of the last refusal (ErrorCode), 0 when the last call was not refused.
    std::uint16_t LastRefusal() const { return refusal_; }

    int timeoutMs = 30000; // for every call but batches
    // Asked while a batch or a device operation runs (every 20 ms): when it answers true the
    // helper is sent ABORT, once per call. The client's abort request (a reset, the close).
    std::function<bool()> abortRequested;

private:
    bool Call(std::uint8_t type, std::span<const std::uint8_t> payload, Frame& reply,
              std::string& error, long long timeoutMs);
    bool Send(std::uint8_t type, std::span<const std::uint8_t> payload);
    // Call, then `decode` of the reply's payload; a payload it refuses sets `malformed` as the
    // error and closes the connection.
    template <class Decode>
    bool CallDecoded(std::uint8_t type, std::span<const std::uint8_t> payload, long long timeout,
                     std::string& error, const char* malformed, Decode&& decode);
    // TAKE or GIVE of the channel `key`.
    bool ChannelCall(std::uint8_t type, const std::string& key, ChannelReply& reply,
                     std::string& error);

    int fd_ = -1;
    int replyFd_ = -1;
    FrameBuffer replies_;
    std::atomic<std::uint32_t> sent_{0}; // requests sent, the number of the last one
    pid_t pid_ = -1;
    std::mutex callLock_;
    std::mutex writeLock_;
    std::uint16_t refusal_ = 0;
};

// A channel the helper has taken, as the engine's callers see a channel: each operation is one
// round trip, and RunBatch sends a run of records in one. Master() (SetMaster) chooses the
// device the records go to, as on a channel in this process.
//
// Made for an entry of the client's own controller list (`local`), it is that entry's engine:
// the device it works on is the entry's Master(), what the detection and the identification
// find lands in the entry's drive summaries and the engine state's current drive, and the log,
// flags, clock and port list are the entry's.
class THelperChannel : public TControllerInfo {
public:
    THelperChannel(DiskHelperClient& client, std::string key, TControllerInfo* local = nullptr);

    void ExecuteCommand(AtaCommandRecord& rec) override;
    void ReadStatus(AtaCommandRecord& rec) override;
    void ResetDevice(AtaCommandRecord& rec) override;
    int DetectDevices() override;
    int IdentifyDevice(DriveInfo& info) override;
    int IdentifyPacketDevice(DriveInfo& info) override;
    void SelectDevice() override;
    void SetFeatures(AtaCommandRecord& rec, std::uint8_t feature) override;

    bool Drivable() const override { return local_ != nullptr; }
    bool RemoteEngine() const override { return true; }
    bool RunRemote(std::vector<RemoteEntry>& run, bool freshStreak) override;
    CClientLog& Log() override { return local_ ? local_->Log() : TControllerInfo::Log(); }
    DriveInfo& MasterInfo() override {
        return local_ ? local_->MasterInfo() : TControllerInfo::MasterInfo();
    }
    DriveInfo& SlaveInfo() override {
        return local_ ? local_->SlaveInfo() : TControllerInfo::SlaveInfo();
    }
    AtaGlobals& Globals() override {
        return local_ ? local_->Globals() : TControllerInfo::Globals();
    }
    SharedFlags& Flags() override { return local_ ? local_->Flags() : TControllerInfo::Flags(); }
    TimeBase& Clock() override { return local_ ? local_->Clock() : TControllerInfo::Clock(); }
    const TimeValues& Times() const override {
        return local_ ? local_->Times() : TControllerInfo::Times();
    }
    std::array<std::uint32_t, 12> PortList() const override {
        return local_ ? local_->PortList() : std::array<std::uint32_t, 12>{};
    }

    // Runs `entries` in one round trip; each command's record (and data read) comes back into
    // its entry. False when the helper could not be asked; `aborted` when the run was cut short
    // (the entries not run then keep Result ATA_ABORT).
    bool RunBatch(std::vector<BatchEntry>& entries, bool& aborted, bool freshStreak = true);

    const std::string& Key() const { return key_; }
    // The traces of the last command's attempts, when it asked for them.
    const std::vector<std::vector<std::uint8_t>>& LastTraces() const { return traces_; }
    const std::string& LastError() const { return error_; }

private:
    void RunOne(std::uint8_t kind, AtaCommandRecord& rec);
    // The device the records go to: the list entry's choice when there is one.
    bool Slave() const { return local_ ? !local_->Master() : !Master(); }
    // One MSG_DEVICE round trip; the engine state it reports is taken over.
    bool Device(std::uint8_t op, DeviceReply& reply, std::uint8_t feature = 0,
                const AtaCommandRecord* rec = nullptr);

    DiskHelperClient& client_;
    TControllerInfo* local_ = nullptr;
    std::string key_;
    std::vector<std::vector<std::uint8_t>> traces_;
    std::string error_;
};

} // namespace zkv::helper
