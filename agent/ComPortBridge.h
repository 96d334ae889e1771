// ComPortBridge: the technician's access to a drive's diagnostic terminal on a serial port.
//
// The CMD_COMPORT_* commands list the ports, set one up and open it, type commands on the
// terminal, switch the terminal and the port to another speed, and feed bytes into the drive's
// buffer through the terminal's byte-entry prompt "-->". Text from the terminal is forwarded to
// the technician as CMD_COMPORT_SHOW_DATA messages whenever a carriage return or ">" arrives.
//
// Everything runs on the main thread: the command handlers and the port's events. A speed
// switch blocks the main thread for its pauses (about two seconds) and for collecting the
// terminal's answer to the wake-up (up to three seconds), as the terminals expect those pauses.
#pragma once

#include "agent/TechnicianServices.h"
#include "platform/SerialPort.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zkv {

// The pauses of a speed switch, in milliseconds.
struct ComPortPauses {
    int charGapMs = 100;       // between the characters of a speed command, after each CR
    int afterCommandMs = 1000; // after the speed command, before the port changes speed
    int beforeWakeMs = 500;    // after the speed change, before the first carriage return
    int collectMs = 3000;      // longest wait for the answer to the wake-up carriage return
};

// Texts forwarded to the technician (spelled as the technician's side expects them).
inline constexpr const char* kSwitchOkText = "*** Swithing baudrate OK.\r\n";
inline constexpr const char* kSwitchErrorText = "*** Swithing baudrate ERROR.\r\n";
inline constexpr const char* kWriteFinishedText = "*** Data writing in buffers finished.\r\n";
// A speed switch that hears nothing at the new speed ends after this many timer ticks (55 ms).
inline constexpr int kSwitchTimerTicks = 90;
// The most bytes one buffer write takes (128 sectors).
inline constexpr std::size_t kMaxBufferWriteBytes = 64 * 1024;
// Terminal text with no carriage return or ">" is forwarded once this much has gathered.
inline constexpr std::size_t kForwardThreshold = 4096;

// The speed command and line speed of a speed index (0 to 3); nullptr/0 for other indexes.
const char* SpeedCommandText(std::int32_t index);
std::int32_t SpeedOfIndex(std::int32_t index);
// "U" + the upper and lower 16 bits of buffer × 512 in four upper-case hex digits each, a comma
// between, and a carriage return: buffer 3 gives "U0000,0600\r".
std::string BufferAddressLine(std::int32_t buffer);

class ComPortBridge final : public IComPortService, private ISerialEvents {
public:
    explicit ComPortBridge(ISerialPort& port, ComPortPauses pauses = {});
    ~ComPortBridge() override;
    ComPortBridge(const ComPortBridge&) = delete;
    ComPortBridge& operator=(const ComPortBridge&) = delete;

    void Handle(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) override;
    void Close() override;
    // Where forwarded text goes. Each command sets it to the link it came through; the owner
    // clears it before that link goes away.
    void SetLink(ITechnicianLink* link) { link_ = link; }

    // The port component's settings as the list answer reports them.
    const SerialSettings& Settings() const { return settings_; }
    bool SwitchInProgress() const { return switching_; }
    bool WriteInProgress() const { return writing_; }

private:
    using Handler = void (ComPortBridge::*)(const ItemRecord&, ItemRecord&, ITechnicianLink&);
    static const Handler kHandlers[7];

    void GetList(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);
    void SetParam(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);
    void DoCommand(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);
    void SetBaud(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);
    void WriteBuffer(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);
    void WriteData(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link);

    void OnCharsAvailable(std::size_t count) override;
    void OnDataTrigger(int handle) override;
    void OnTimerTrigger(int handle) override;

    void TypeSpeedCommand();
    void EndSwitch(bool ok);
    void EndWrite();
    void Forward();
    void ResetTerminalState();
    static void Pause(int ms);

    ISerialPort& port_;
    ComPortPauses pauses_;
    ITechnicianLink* link_ = nullptr;
    SerialSettings settings_;
    std::int32_t portNumber_ = 0;
    std::string accumulator_;
    int crTrigger_ = 0;
    int promptTrigger_ = 0;
    int timerTrigger_ = 0;

    bool switching_ = false;
    int step_ = 0;
    std::int32_t speedIndex_ = 0;
    bool eventInProgress_ = false;

    bool writing_ = false;
    std::vector<std::uint8_t> bytes_;
    std::size_t next_ = 0;
    std::size_t left_ = 0;
    std::int32_t bufferNumber_ = 0;
    std::int32_t bufferValue_ = 0;
};

} // namespace zkv
