// The work form's close request, in its order, over hooks the window fills with what it has.
//
//   1. a technician is attached: ask "Do you want to close program?"; No cancels, nothing else
//      happens
//   2. a scan runs: ask it to stop
//   3. no-reconnect on
//   4. write the reboot-state flags (not for a second copy, nor before they were read)
//   5. close the ports (the port-I/O driver, then the serial port)
//   6. end the ATA worker
//   7. WasReboot: save the controller settings, the channel stays taken for the restart
//   8. else, unless a second copy or no controller list: clear restart-needed, log
//      "Trying to enable chosen IDE channel.", give the channels back, and when a restart is
//      needed for that show "Reboot computer now to finish enabling chosen channel."
//
// An empty hook is a piece the program does not have (yet): its step is skipped.
#pragma once

#include <functional>
#include <string>

namespace zkv {

inline constexpr const char* kCloseQuestion = "Do you want to close program?";
inline constexpr const char* kEnablingChannelLog = "Trying to enable chosen IDE channel.";
inline constexpr const char* kRebootToEnableMessage =
    "Reboot computer now to finish enabling chosen channel.";

struct CloseState {
    bool technicianAttached = false;
    bool secondInstance = false;
    bool rebootFlagsRead = false; // start-up got as far as reading them
    bool wasReboot = false;
};

struct CloseHooks {
    std::function<bool(const std::string&)> askYesNo; // true unless No
    std::function<bool()> scanRunning;
    std::function<void()> stopScan;
    std::function<void()> setNoReconnect;
    std::function<void()> writeRebootFlags;
    std::function<void()> closePortDriver;
    std::function<void()> closeComPort;
    std::function<void()> endAtaWorker; // asks it to end; waits while a command is pending
    std::function<bool()> controllerListCreated;
    std::function<void()> saveControllerSettings;
    std::function<void()> clearRestartNeeded;
    std::function<void()> enableMyChannels;
    std::function<bool()> restartNeeded;
    std::function<void(const std::string&)> log;
    std::function<void(const std::string&)> showMessage;
};

enum class CloseOutcome { Cancelled, Close };

CloseOutcome RunCloseSequence(const CloseState& state, const CloseHooks& hooks);

} // namespace zkv
