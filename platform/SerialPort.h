// Serial ports: a numbered port with its line settings, its received characters, data triggers
// on given strings and a one-shot timer trigger counted in ticks of 55 ms.
//
// ISerialPort is what the serial bridge works with. BufferedSerialPort holds what every backend
// shares (the input buffer, the triggers and the order of their events); TermiosSerialPort drives
// the machine's serial devices; the simulated port of sim/ stands in for them in unit tests.
//
// Events are delivered on the main thread, in arrival order: "characters available" with the
// count received since the last such event, then a data trigger whenever the characters received
// end with the trigger's string, and the timer trigger when it expires. A handler may read,
// write or close the port; events that arrive while a handler waits on the port (WaitForChars)
// are delivered after that handler has returned.
#pragma once

#include "platform/ReadyNotifier.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

inline constexpr int kMaxSerialPorts = 63;
inline constexpr int kSerialTickMs = 55;
// Received characters kept before new ones are dropped (nobody read them).
inline constexpr std::size_t kSerialInputLimit = 64 * 1024;

// Line settings as the technician gives them: baud in bit/s, stop bits 1 or 2, data bits 5 to 8,
// parity 0 none, 1 odd, 2 even, 3 mark, 4 space, software flow control 0 none, 1 receive,
// 2 transmit, 3 both.
struct SerialSettings {
    std::int32_t baud = 19200;
    std::int32_t stopBits = 1;
    std::int32_t dataBits = 8;
    std::int32_t parity = 0;
    std::int32_t softwareFlow = 0;
};

// True when every value is one of the above and the speed is one the line can run at.
bool SerialSettingsValid(const SerialSettings& s);
bool SerialBaudSupported(std::int32_t baud);

class ISerialEvents {
public:
    virtual ~ISerialEvents() = default;
    virtual void OnCharsAvailable(std::size_t count) = 0;
    virtual void OnDataTrigger(int handle) = 0;
    virtual void OnTimerTrigger(int handle) = 0;
};

class ISerialPort {
public:
    virtual ~ISerialPort() = default;
    // Whether port `number` (1 to 63) exists and can be opened now. The port this object has
    // open counts as available.
    virtual bool Available(int number) = 0;
    // Closes the port if open, then opens `number` with `settings`. False when the port does not
    // exist, is busy or refuses the settings.
    virtual bool Open(int number, const SerialSettings& settings) = 0;
    // Closes the port and removes every trigger. Events not yet delivered are dropped.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual int Number() const = 0;
    virtual const SerialSettings& Settings() const = 0;
    virtual bool SetBaud(std::int32_t baud) = 0;

    // Writes all of `bytes` (waiting while the line drains); false when the port is not open or
    // the device failed.
    virtual bool Write(std::string_view bytes) = 0;
    bool WriteChar(char c) { return Write(std::string_view(&c, 1)); }
    // How many received characters are ready to be read.
    virtual std::size_t CharsReady() = 0;
    // Takes up to `max` of the ready characters.
    virtual std::string Read(std::size_t max) = 0;
    // Waits up to `timeoutMs` for at least one character; returns CharsReady().
    virtual std::size_t WaitForChars(int timeoutMs) = 0;
    // Drops every received character and every event not yet delivered (what came before a
    // change of line speed).
    virtual void FlushInput() = 0;

    // Triggers; a handle is never 0. Triggers last until removed or the port closes.
    virtual int AddDataTrigger(std::string_view match) = 0;
    virtual int AddTimerTrigger() = 0;
    // Starts (enabled) or stops the timer trigger: one event after `ticks` ticks of 55 ms.
    virtual bool SetTimerTrigger(int handle, int ticks, bool enabled) = 0;
    virtual void RemoveTrigger(int handle) = 0;

    virtual void SetListener(ISerialEvents* listener) = 0;
};

// The part every backend shares. A backend feeds what the device delivered into Ingest, calls
// TimerExpired when its timer ran out and Dispatch (or has it posted) to deliver the events.
class BufferedSerialPort : public ISerialPort {
public:
    bool Open(int number, const SerialSettings& settings) override;
    void Close() override;
    bool IsOpen() const override { return open_; }
    int Number() const override { return number_; }
    const SerialSettings& Settings() const override { return settings_; }
    bool SetBaud(std::int32_t baud) override;
    bool Write(std::string_view bytes) override;
    std::size_t CharsReady() override;
    std::string Read(std::size_t max) override;
    std::size_t WaitForChars(int timeoutMs) override;
    void FlushInput() override;
    int AddDataTrigger(std::string_view match) override;
    int AddTimerTrigger() override;
    bool SetTimerTrigger(int handle, int ticks, bool enabled) override;
    void RemoveTrigger(int handle) override;
    void SetListener(ISerialEvents* listener) override { listener_ = listener; }

    // Characters dropped because the input buffer was full.
    std::size_t Overruns() const { return overruns_; }

protected:
    // What a backend provides.
    virtual bool DeviceOpen(int number, const SerialSettings& settings) = 0;
    virtual void DeviceClose() = 0;
    virtual bool DeviceSetBaud(std::int32_t baud) = 0;
    virtual bool DeviceWrite(std::string_view bytes) = 0;
    // Moves what the device has ready into Ingest, without waiting.
    virtual void DevicePull() = 0;
    // Waits up to `timeoutMs` until the device has something to read.
    virtual void DeviceWait(int timeoutMs) = 0;
    // Starts the device's one-shot timer for `ms` (0 stops it).
    virtual void DeviceArmTimer(int ms) = 0;
    // Arranges for Dispatch to run on the main thread after the current event.
    virtual void RequestDispatch() = 0;
    virtual int TickMs() const { return kSerialTickMs; }

    void Ingest(std::string_view bytes);
    void TimerExpired();
    void Dispatch();
    bool HasEvents() const { return !events_.empty(); }

private:
    struct Event {
        enum Kind { Avail, Data, Timer } kind;
        std::size_t value;
    };
    struct DataTrigger {
        int handle;
        std::string match;
    };
    void Pull();
    void ScheduleDispatch();

    bool open_ = false;
    int number_ = 0;
    SerialSettings settings_;
    ISerialEvents* listener_ = nullptr;
    std::string input_;
    std::string recent_; // the last characters received, for matching the data triggers
    std::size_t unannounced_ = 0;
    std::size_t overruns_ = 0;
    std::vector<DataTrigger> dataTriggers_;
    int timerHandle_ = 0;
    bool timerEnabled_ = false;
    int nextHandle_ = 1;
    std::deque<Event> events_;
    bool dispatching_ = false;
    bool dispatchRequested_ = false;
    std::uint64_t generation_ = 0; // bumped by Close, so a dispatch in progress stops
};

// The machine's serial devices in port order: /dev/ttyS<n> by n, then /dev/ttyUSB<n> by n, then
// /dev/ttyACM<n> by n; at most 63. `devDir` is a parameter for tests.
std::vector<std::string> SerialDeviceList(const std::filesystem::path& devDir = "/dev");

// Serial devices through termios. Port n is devices[n - 1]; an empty entry is a port that does
// not exist. A port is opened exclusively (TIOCEXCL), raw, without modem control, and the
// timer trigger is a timerfd; both are watched through `notifiers`.
class TermiosSerialPort final : public BufferedSerialPort {
public:
    TermiosSerialPort(std::vector<std::string> devices, INotifierFactory& notifiers,
                      int tickMs = kSerialTickMs);
    ~TermiosSerialPort() override;
    bool Available(int number) override;
    const std::vector<std::string>& Devices() const { return devices_; }

protected:
    bool DeviceOpen(int number, const SerialSettings& settings) override;
    void DeviceClose() override;
    bool DeviceSetBaud(std::int32_t baud) override;
    bool DeviceWrite(std::string_view bytes) override;
    void DevicePull() override;
    void DeviceWait(int timeoutMs) override;
    void DeviceArmTimer(int ms) override;
    void RequestDispatch() override;
    int TickMs() const override { return tickMs_; }

private:
    void Readable();
    void TimerReadable();
    const std::string* Path(int number) const;
    // Port `number` opened read-write and non-blocking, never as the controlling terminal; -1
    // when it does not exist or does not open.
    int OpenNumber(int number) const;

    std::vector<std::string> devices_;
    INotifierFactory& notifiers_;
    int tickMs_;
    int fd_ = -1;
    int timerFd_ = -1;
    bool hungUp_ = false;
    std::unique_ptr<IReadyNotifier> readNotifier_;
    std::unique_ptr<IReadyNotifier> timerNotifier_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace zkv
