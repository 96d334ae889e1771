#include "support/SharedFlags.h"

namespace zkv {

SharedFlags& SharedFlags::Instance() {
    static SharedFlags flags;
    return flags;
}

void SharedFlags::SetAbortRequest() {
    std::lock_guard g(lock_);
    abortRequest_.store(true, std::memory_order_release);
}
void SharedFlags::ClearAbortRequest() {
    std::lock_guard g(lock_);
    abortRequest_.store(false, std::memory_order_release);
}
bool SharedFlags::AbortRequest() const {
    return abortRequest_.load(std::memory_order_acquire);
}

void SharedFlags::SetOperationStopped() {
    std::lock_guard g(lock_);
    operationStopped_ = true;
}
void SharedFlags::ClearOperationStopped() {
    std::lock_guard g(lock_);
    operationStopped_ = false;
}
bool SharedFlags::OperationStopped() const {
    std::lock_guard g(lock_);
    return operationStopped_;
}

void SharedFlags::SetDeviceReady() {
    std::lock_guard g(lock_);
    deviceReady_ = true;
}
bool SharedFlags::DeviceReady() const {
    std::lock_guard g(lock_);
    return deviceReady_;
}
void SharedFlags::ResetDeviceReadyForTests() {
    std::lock_guard g(lock_);
    deviceReady_ = false;
}

} // namespace zkv
