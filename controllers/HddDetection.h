// The HDD detection: choose a channel, take it from the kernel, probe both positions on a
// worker thread (THDDFoundTh) while the main thread keeps the window alive, explain what was
// found and, when the user agrees, make the channel ready for the technician's commands.
#pragma once

#include "ata/ControllerInfo.h"
#include "ata/DeviceId.h"
#include "support/SharedFlags.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zkv {

class IPowerControl;
class TClassInfoList;

// What the detection needs from the window that runs it.
class IDetectionHost {
public:
    virtual ~IDetectionHost() = default;
    virtual void Log(const std::string& text) = 0;
    // The progress bar: a value of 0..100 shows it, -1 hides it.
    virtual void ShowProgress(int value) = 0;
    virtual void ShowDriveName(const std::string& model) = 0;
    // Starts the 3-second status poll of the chosen channel.
    virtual void StartStatusTimer() = 0;
    // The selection form (or its stand-in): fills `outcome`.
    virtual void ChooseChannel(TClassInfoList& list, TChannelChoice& outcome) = 0;
    // The program was restarted after a reboot that the channel change asked for.
    virtual bool WasReboot() = 0;
    // Before a reboot: run the program once at the next log-on and set the was-reboot flag;
    // `on` false takes both back when the reboot could not be started.
    virtual void SetRebootPending(bool on) = 0;
    virtual void CloseMainWindow() = 0;
    virtual void SetBusyCursor(bool) {}
};

// The message of the detection for the kinds found on the two positions.
struct DetectionMessage {
    std::string text;
    std::int32_t buttons = 0;
    bool master = false;       // the position the channel works on afterwards
    bool vendorPrompt = false; // ask for the disk's maker too
    bool logged = false;       // also written to the log before the question
};
DetectionMessage BuildDetectionMessage(const DriveInfo& master, const DriveInfo& slave);

// The vendor prompt of the question.
void FillVendorPrompt();

class THDDFoundTh;

class THddDetection {
public:
    static constexpr int kTimeoutSeconds = 100;

    THddDetection(TClassInfoList& list, IDetectionHost& host, std::filesystem::path userSetup,
                  IPowerControl* power, SharedFlags& flags = SharedFlags::Instance());
    // Waits for a probe thread still running after a time-out.
    ~THddDetection();
    THddDetection(const THddDetection&) = delete;
    THddDetection& operator=(const THddDetection&) = delete;

    // 1 when the channel is ready, else 0.
    int DetectHDD();
    // Writes the choice and the entries' marks into UserSetup.ini.
    bool SaveSettings();

    // The drive chosen at detection (the HDD report for the technician).
    const DriveInfo& Report() const { return report_; }
    const TChannelChoice& Outcome() const { return outcome_; }
    // A channel was chosen in this run (the stored choice is this run's to overwrite).
    bool Chosen() const { return chosen_; }
    // Ends a detection that is under way (the program is closing): the probe is waited for,
    // and the detection answers 0 without touching the channel again.
    void Cancel();

    // The time of day in whole seconds (tests make it run faster).
    std::function<std::int64_t()> secondsNow;
    // Handles the window's pending events while the probe runs.
    std::function<void()> pumpEvents;

private:
    // Runs the probe thread and waits for it; false on the time-out.
    bool Probe();
    void RestartSequence();

    TClassInfoList& list_;
    IDetectionHost& host_;
    std::filesystem::path userSetup_;
    IPowerControl* power_;
    SharedFlags& flags_;
    TChannelChoice outcome_;
    DriveInfo report_;
    bool chosen_ = false;
    std::atomic<bool> cancelled_{false};
    std::unique_ptr<THDDFoundTh> thread_;
};

// The detection thread: DetectOnCurrent, then the detection event.
class THDDFoundTh {
public:
    explicit THDDFoundTh(TClassInfoList& list);
    ~THDDFoundTh(); // joins
    void Start();
    // Waits up to `ms` for the event; true when it was signalled.
    bool WaitFor(int ms);
    // Waits until the thread has ended.
    void Join();

private:
    TClassInfoList& list_;
    std::mutex lock_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace zkv
