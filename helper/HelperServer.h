// The disk helper's side of the connection: reads requests from one descriptor, runs them on the
// controller list and the ATA engine over HelperHardware, and writes the replies to another.
//
// Two threads: the reader (the caller of Run) decodes frames and hands each request to the
// worker, which runs it and answers. Only the abort request is handled by the reader itself, so
// that it reaches a batch while it runs. One request at a time: a second one before the answer
// to the first is a protocol violation and ends the connection.
//
// The connection ends on end of file, a read or write error, a frame past the bounds, a
// violation, or the `stop` descriptor becoming readable (the program's signals). Run then asks
// the running batch to stop, waits for it, gives back the channel it took, and returns.
#pragma once

#include "controllers/ControllerList.h"
#include "helper/HelperHardware.h"
#include "helper/HelperProtocol.h"
#include "helper/HelperState.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zkv {

class SharedFlags;
struct AtaGlobals;

namespace helper {

struct ServerOptions {
    int in = 0;
    int out = 1;
    int stop = -1; // optional: readable = end now
    std::function<void(const std::string&)> log;
    // Where the crash record of a taken channel is kept (empty: none; see HelperState.h).
    std::string stateDir;
};

class HelperServer {
public:
    HelperServer(HelperHardware& hw, ServerOptions options);
    ~HelperServer();
    HelperServer(const HelperServer&) = delete;
    HelperServer& operator=(const HelperServer&) = delete;

    // Serves until the connection ends; returns why it ended (for the log).
    std::string Run();

private:
    void Work();
    void Handle(const Frame& f);
    void HandleHello(const Frame& f);
    void HandleList();
    void HandleTake(const Frame& f);
    void HandleGive(const Frame& f);
    void HandleBatch(const Frame& f);
    void HandleStatus(const Frame& f);
    void HandleDevice(const Frame& f);
    // The taken channel's device when `key` names it; otherwise answers the refusal.
    TControllerInfo* Checked(const std::string& key);
    bool GiveBack(std::string& message, bool& restart);
    std::vector<std::uint8_t> RunCommand(TControllerInfo& dev, AtaCommandRecord& rec,
                                         std::size_t& traceBudget);

    void Reply(std::uint8_t type, std::span<const std::uint8_t> payload);
    void Refuse(std::uint16_t code, const std::string& message);
    void Log(const std::string& text);
    void End(const std::string& why);

    HelperHardware& hw_;
    ServerOptions opt_;
    AtaGlobals& globals_;
    SharedFlags& flags_;
    std::unique_ptr<TClassInfoList> list_;
    TControllerInfo* taken_ = nullptr;
    CrashRecordFile record_;
    bool hello_ = false;
    int wake_[2] = {-1, -1}; // the worker wakes the reader when it ends the connection

    std::mutex lock_;
    std::condition_variable cv_;
    std::optional<Frame> pending_;
    bool busy_ = false;
    bool stop_ = false;
    std::string endReason_;
    std::thread worker_;
};

} // namespace helper
} // namespace zkv
