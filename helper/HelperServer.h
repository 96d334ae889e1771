// The disk helper's side of the connection: reads requests from one descriptor, runs them on the
// controller list and the ATA engine over HelperHardware, and writes the replies to another.
//
// Two threads: the caller of Run reads each request from `in` and runs it itself, so that a
// request is not handed between threads on its way. The watcher reads the abort requests, which
// the client sends the other way on the reply connection `out`, and watches the stop: both reach
// a running batch. Requests are run one at a time, in the order they came.
//
// The connection ends on end of file, a read or write error, a frame past the bounds, a
// violation, or the `stop` descriptor becoming readable (the program's signals). Run then asks
// the running batch to stop, waits for it, gives back the channel it took, and returns.
#pragma once

#include "controllers/ControllerList.h"
#include "helper/FrameBuffer.h"
#include "helper/HelperHardware.h"
#include "helper/HelperProtocol.h"
#include "helper/HelperState.h"

#include <functional>
#include <memory>
#include <mutex>
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
    // One frame from the connection: 1, or 0 at its end and -1/-2 with `why` set.
    int ReadFrame(int fd, FrameBuffer& buffer, Frame& f, std::string& why);
    void Watch();
    // An abort request (its payload checked): it stops the request it names.
    void Aborted(const Frame& abort);
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
    int wake_[2] = {-1, -1}; // readable once the connection has ended
    FrameBuffer inBuffer_;   // the requests
    FrameBuffer outBuffer_;  // the aborts, on the reply connection

    std::mutex lock_;
    bool stop_ = false;
    std::uint32_t requests_ = 0; // the number of the request read last
    std::uint32_t abortFor_ = 0; // an abort that came before its request
    std::string endReason_;
    std::thread watcher_;
};

} // namespace helper
} // namespace zkv
