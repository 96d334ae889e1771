// ScanThread: one surface scan on a worker thread of its own.
//
// The thread verifies the range block by block through the device's ExecuteCommand, narrows a
// failing block down to single sectors (65535 -> 256 -> 1, with a stack of the ranges still
// pending), repairs a bad sector when asked (READ LONG, remap, rewrite, control read) and works
// in time slices. At the end of each slice it hands that slice's results to the main thread
// through a synchronised call, and when it is over it runs the end handler the same way.
#pragma once

#include "ata/HDCDevice.h"
#include "platform/MainThread.h"
#include "tools/ScanSurface.h"

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace zkv {

class ScanThread {
public:
    struct Handlers {
        // On the main thread, the thread waiting: one slice's results, in scan order. `over` is
        // true when the scan has no parameters left (completed or stopped). The handler may
        // take the records (the list is emptied after it anyway).
        std::function<void(std::vector<ScanSurfaceResult>& batch, bool over)> batch;
        // On the main thread, once, after the last batch: `aborted` when the thread saw
        // AbortRequest.
        std::function<void(bool aborted)> ended;
    };

    // `params` must hold a valid range (count > 0, start >= 0), attempts >= 1 and the block
    // size the flags call for.
    ScanThread(TControllerInfo& device, const ScanSurfaceParams& params, IMainThread& main,
               Handlers handlers);
    ~ScanThread();
    ScanThread(const ScanThread&) = delete;
    ScanThread& operator=(const ScanThread&) = delete;

    // Starts the worker thread.
    void Start();
    // Runs the whole scan on the calling thread (what the worker runs).
    void Run();
    // Asks the thread to end before its next block.
    void Terminate() { terminate_ = true; }
    // True while the scan has current parameters (from construction until the last block, a
    // stop request or AbortRequest).
    bool ParamsPresent() const { return paramsPresent_; }
    // True once the end handler has run.
    bool Finished() const { return finished_; }
    // True when the scan stopped because the drive did not come back from a reset in time (the
    // engine then raises fCriticalATAError): every further command would wait out another
    // 40-second reset.
    bool ResetTimedOut() const { return resetTimedOut_; }
    void Join();

private:
    // Executes one step up to `attempts` times, stopping at the first success.
    bool Execute(ScanStep step, std::int64_t lba, std::int32_t count);
    void Repair(ScanSurfaceResult& r, const ScanSurfaceParams& cur);
    void HandOver(bool over);

    TControllerInfo& dev_;
    IMainThread& main_;
    Handlers handlers_;
    ScanSurfaceParams initial_;
    std::int32_t commandTimeout_ = 0;
    std::int32_t attempts_ = 1;
    std::uint8_t flags_ = 0;

    AtaCommandRecord rec_;
    std::array<std::uint8_t, 512> sector_{};
    std::vector<ScanSurfaceResult> batch_;

    std::atomic<bool> terminate_{false};
    std::atomic<bool> paramsPresent_{true};
    std::atomic<bool> finished_{false};
    std::atomic<bool> resetTimedOut_{false};
    std::thread thread_;
};

} // namespace zkv
