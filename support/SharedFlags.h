// The three flags the ATA thread, the scan thread and the main thread coordinate through.
//
// All three live under one lock, held only for the single read or write. AbortRequest is also
// read without it: the engine asks for it on every poll of the drive's status, and a read of
// one flag needs no more than an atomic load.
#pragma once

#include <atomic>
#include <mutex>

namespace zkv {

class SharedFlags {
public:
    // The program-wide instance.
    static SharedFlags& Instance();

    void SetAbortRequest();
    void ClearAbortRequest();
    bool AbortRequest() const;

    void SetOperationStopped();
    void ClearOperationStopped();
    bool OperationStopped() const;

    // Set once detection has made the chosen channel usable; never cleared by the program.
    void SetDeviceReady();
    bool DeviceReady() const;
    // Only for tests and for a fresh detection run in tools: brings the flag back to clear.
    void ResetDeviceReadyForTests();

private:
    mutable std::mutex lock_;
    std::atomic<bool> abortRequest_{false};
    bool operationStopped_ = false;
    bool deviceReady_ = false;
};

} // namespace zkv
