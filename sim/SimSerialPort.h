// A serial port without a device, for unit tests: the test says which port numbers exist, feeds
// the characters the far end sends, runs the timer out and reads back what was written.
#pragma once

#include "platform/SerialPort.h"

#include <set>
#include <string>
#include <vector>

namespace zkv {

class SimSerialPort final : public BufferedSerialPort {
public:
    explicit SimSerialPort(std::set<int> existing) : existing_(std::move(existing)) {}
    bool Available(int number) override { return existing_.count(number) != 0; }

    // The far end sends `text`; its events are delivered at once.
    void Feed(std::string_view text);
    // The timer trigger, if started, runs out now.
    void ExpireTimer() { TimerExpired(); }
    // Delivers events held back while a handler waited on the port.
    void DeliverHeld() { Dispatch(); }

    // The length of the running timer in milliseconds, 0 when stopped.
    int TimerMs() const { return timerMs_; }
    const std::string& Written() const { return written_; }
    const std::vector<std::int32_t>& BaudsSet() const { return bauds_; }

protected:
    bool DeviceOpen(int number, const SerialSettings& s) override;
    void DeviceClose() override {}
    bool DeviceSetBaud(std::int32_t baud) override;
    bool DeviceWrite(std::string_view bytes) override;
    void DevicePull() override {}
    void DeviceWait(int) override {}
    void DeviceArmTimer(int ms) override { timerMs_ = ms; }
    void RequestDispatch() override {}

private:
    std::set<int> existing_;
    std::string written_;
    std::vector<std::int32_t> bauds_;
    int timerMs_ = 0;
};

} // namespace zkv
