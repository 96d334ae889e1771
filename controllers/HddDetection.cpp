#include "controllers/HddDetection.h"

#include "controllers/ControllerList.h"
#include "platform/MainThread.h"
#include "platform/PowerControl.h"
#include "platform/RunOnce.h"
#include "support/Deployment.h"
#include "support/IniFile.h"
#include "tools/MessageDialog.h"

#include <chrono>
#include <ctime>

namespace zkv {
namespace {

constexpr const char* kOkTail = "Press OK to continue with repair.\r\n"
                                "Press Retry to choose other controller.\r\n"
                                "Press Cancel to interrupt HDD detection.";
constexpr const char* kRetryTail = "Press Retry to choose another controller.\r\n"
                                   "Press Cancel to interrupt HDD detection.";
constexpr const char* kRemoveMaster =
    "If any device is connected as Master,\r\n"
    "remove it and restart the program, otherwise it can interfere with repair.\r\n";
constexpr const char* kRemoveSlave =
    "If any Slave device is present,\r\n"
    "remove it and restart the program, otherwise it can interfere with repair.\r\n";

std::string DriveLine(const char* head, const DriveInfo& d, const std::string& tail) {
    return head + TrimBlanks(d.model) + " " + TrimBlanks(d.serial) + " " + TrimBlanks(d.firmware) +
           " " + tail;
}

std::string HddLine(const DriveInfo& d, const std::string& tail) {
    return DriveLine("HDD ", d, tail);
}

std::string CdLine(const DriveInfo& d, const std::string& tail) {
    return DriveLine("CD-ROM ", d, tail);
}

} // namespace

DetectionMessage BuildDetectionMessage(const DriveInfo& master, const DriveInfo& slave) {
    const int M = master.kind, S = slave.kind;
    constexpr std::int32_t kOkRetryCancel = mb::OK | mb::Retry | mb::Cancel;
    constexpr std::int32_t kRetryCancel = mb::Retry | mb::Cancel;
    DetectionMessage m;
    m.buttons = kOkRetryCancel;
    const std::string okTail = kOkTail, retryTail = kRetryTail;

    if (M == KIND_PACKET) {
        m.text = CdLine(master, "is detected on the selected channel as Master.\r\n") +
                 "Connect your bad HDD to the secondary channel as Master and run the program "
                 "again.\r\n" +
                 retryTail;
        m.buttons = kRetryCancel;
        m.logged = true;
        return m;
    }
    if (S == KIND_PACKET) {
        m.text = CdLine(slave, "is detected on the selected channel as Slave.\r\n") +
                 "It prevents the repair.\r\n" + "Disconnect it and restart the program.\r\n" +
                 retryTail;
        m.buttons = kRetryCancel;
        m.master = M != KIND_NONE;
        m.logged = true;
        return m;
    }
    switch (M) {
    case KIND_NONE:
        switch (S) {
        case KIND_NONE:
            m.text = "HDD was not detected (neither Master nor Slave)\r\n"
                     "Press 'Retry' to choose another controller\r\n"
                     "Press 'Cancel' to exit program";
            m.buttons = kRetryCancel;
            break;
        case KIND_ANSWERED:
            m.vendorPrompt = true;
            m.text = "Unknown device detected on the selected channel as Slave.\r\n" + okTail;
            break;
        case KIND_ATA:
            m.text = HddLine(slave, "detected on the selected channel as Slave.\r\n") + okTail;
            break;
        default:
            m.text = "HDD is detected on the selected channel as Slave, but its passport is not "
                     "readable.\r\n" +
                     okTail;
            break;
        }
        return m;
    case KIND_ANSWERED:
        switch (S) {
        case KIND_NONE:
            m.vendorPrompt = true;
            m.master = true;
            m.text = "Unknown device detected on the selected channel as Master.\r\n" + okTail;
            break;
        case KIND_ANSWERED:
            m.vendorPrompt = true;
            m.master = true;
            m.text = "Unknown devices are detected on the selected channel, both Master and Slave "
                     "devices are present.\r\n"
                     "It may by caused by HDD error\r\n" +
                     std::string(kRemoveSlave) + okTail;
            break;
        case KIND_ATA:
            m.text = HddLine(slave, "detected on the selected channel as Slave.\r\n") +
                     "Unknown device is detected on the selected channel as Master.\r\n" +
                     "It can be caused by malfunction of Slave HDD.\r\n" + kRemoveMaster + okTail;
            break;
        default:
            m.text = "Defective HDD is detected on the selected channel as Slave.\r\n"
                     "Unknown device is detected on the selected channel as Master.\r\n"
                     "It can be caused by malfunction of Slave HDD.\r\n" +
                     std::string(kRemoveMaster) + okTail;
            break;
        }
        return m;
    default: { // an ATA disk on the master, identified or not
        m.master = true;
        const std::string masterLine =
            M == KIND_ATA ? HddLine(master, "detected on the selected channel as Master.\r\n")
                          : "Invalid HDD is detected on the selected channel as Master.\r\n";
        switch (S) {
        case KIND_NONE:
            m.text = masterLine + okTail;
            break;
        case KIND_ANSWERED:
            m.text = masterLine +
                     "Unknown device is detected on the selected channel as Slave.\r\n" +
                     "It can be caused by malfunction of Master HDD.\r\n" + kRemoveSlave + okTail;
            break;
        case KIND_ATA:
            m.text = HddLine(slave, "detected on the selected channel as slave.\r\n") +
                     "Remove it and restart the program.\r\n" + retryTail;
            m.buttons = kRetryCancel;
            break;
        default:
            m.text = "It seems you have defective HDD on the selected channel connected as "
                     "Slave.\r\n"
                     "Remove it and restart the program.\r\n" +
                     retryTail;
            m.buttons = kRetryCancel;
            break;
        }
        return m;
    }
    }
}

void FillVendorPrompt() {
    TAddMsgData& add = AddMsgData();
    add.Clear();
    add.caption = "Select vendor of your HDD.";
    add.items = {"Unknown", "Western Digital", "Fujitsu", "IBM",     "Maxtor",
                 "Samsung", "Seagate",         "Toshiba", "Hitachi", "Quantum"};
}

// --- the detection thread --------------------------------------------------------------------

THDDFoundTh::THDDFoundTh(TClassInfoList& list) : list_(list) {}

THDDFoundTh::~THDDFoundTh() {
    Join();
}

void THDDFoundTh::Join() {
    if (thread_.joinable())
        thread_.join();
}

void THDDFoundTh::Start() {
    thread_ = std::thread([this] {
        list_.DetectOnCurrent();
        std::lock_guard g(lock_);
        done_ = true;
        cv_.notify_all();
    });
}

bool THDDFoundTh::WaitFor(int ms) {
    std::unique_lock g(lock_);
    return cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return done_; });
}

// --- the detection ---------------------------------------------------------------------------

THddDetection::THddDetection(TClassInfoList& list, IDetectionHost& host,
                             std::filesystem::path userSetup, IPowerControl* power,
                             SharedFlags& flags)
    : secondsNow([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      pumpEvents([] { MainThread().ProcessEvents(); }), list_(list), host_(host),
      userSetup_(std::move(userSetup)), power_(power), flags_(flags) {}

THddDetection::~THddDetection() = default;

void THddDetection::Cancel() {
    cancelled_ = true;
    if (thread_)
        thread_->Join();
}

bool THddDetection::SaveSettings() {
    IniFile ini(userSetup_);
    ini.Load();
    list_.SaveSettings(ini);
    return ini.Save();
}

bool THddDetection::Probe() {
    // A probe left running by an earlier time-out ends before the channel is probed again.
    thread_.reset();
    thread_ = std::make_unique<THDDFoundTh>(list_);
    host_.Log("Trying to detect HDD on chosen channel.");
    int progress = 0;
    host_.ShowProgress(0);
    thread_->Start();
    std::int64_t last = secondsNow();
    bool signalled = false;
    while (true) {
        if (thread_->WaitFor(10)) {
            signalled = true;
            break;
        }
        pumpEvents();
        if (cancelled_)
            break;
        const std::int64_t now = secondsNow();
        if (now != last) {
            progress += static_cast<int>(now > last ? now - last : last - now);
            last = now;
            if (progress > kTimeoutSeconds)
                break;
            host_.ShowProgress(progress);
        }
    }
    host_.ShowProgress(-1);
    return signalled;
}

void THddDetection::RestartSequence() {
    if (!AskYesNo("Reboot is necessary to continue. Reboot system now?")) {
        ShowMessageDlg("Reboot computer manually and run this program again.",
                       MsgDlgType::Information, mb::OK);
        host_.CloseMainWindow();
        return;
    }
    // The flags and the run-once entry are written first: once the reboot has begun, the
    // program may be ended at any moment.
    host_.SetRebootPending(true);
    std::string error;
    if (!RegisterRunOnce(CurrentProgram(), userSetup_.parent_path(), &error))
        host_.Log("The client could not be registered to start after the restart: " + error);
    PowerResult r = power_ ? power_->Reboot() : PowerResult{false, "no power control"};
    if (!r.ok) {
        host_.SetRebootPending(false);
        RemoveRunOnce();
        ShowMessageDlg("Cannot reboot computer.\r\nReboot computer manually and run this program "
                       "again.",
                       MsgDlgType::Information, mb::OK);
        host_.Log("Cannot reboot computer.");
        host_.Log("Reboot computer manually and run this program again.");
        host_.Log("Otherwise you risk to corrupt data on your HDD.");
    }
    host_.CloseMainWindow();
}

int THddDetection::DetectHDD() {
    while (true) {
        if (cancelled_)
            return 0;
        host_.SetBusyCursor(true);
        pumpEvents();
        // Channel choice.
        outcome_.Clear();
        bool wasReboot = host_.WasReboot();
        if (wasReboot) {
            IniFile ini(userSetup_);
            ini.Load();
            const bool haveStored = list_.LoadSettings(ini) == 0;
            std::string refusal;
            if (!haveStored)
                outcome_.SetMessage("No IDE channel was stored before the restart.");
            if (haveStored) {
                outcome_.ok = true;
                outcome_.restartNeeded = false;
                // The system may have given the channel back to its driver while it started:
                // then it is taken again before anything touches its ports.
                TControllerInfo* stored = list_.CurrentEntry();
                stored->RefreshStatus();
                if (!stored->Disabled) {
                    bool restart = false, ok = false;
                    std::string message = "Wrong controller address.";
                    const int r = stored->PrepareForRepair(restart, ok, message);
                    outcome_.ok = r == 0 && ok && !restart;
                    if (!outcome_.ok) {
                        outcome_.SetMessage(message);
                        refusal = stored->Refusal;
                    } else {
                        SaveSettings();
                    }
                }
            }
            if (!outcome_.ok) {
                // The run after the restart cannot resume on the stored channel. Left set, the
                // flag would keep every later run on this path (and the channel taken): the
                // resume ends here and the detection starts afresh with the form.
                host_.Log("The IDE channel chosen before the restart cannot be taken: " +
                          outcome_.message);
                if (!refusal.empty())
                    host_.Log(refusal);
                host_.Log("The repair starts afresh.");
                host_.SetRebootPending(false);
                wasReboot = false;
                outcome_.Clear();
            }
        }
        if (!wasReboot) {
            host_.SetBusyCursor(false);
            host_.ChooseChannel(list_, outcome_);
            host_.SetBusyCursor(true);
            // The marks of a channel just taken reach the file at once: should this run end
            // without giving it back, the next one does.
            if (outcome_.ok)
                SaveSettings();
        }
        if (!outcome_.ok) {
            host_.SetBusyCursor(false);
            host_.Log(outcome_.message);
            return 0;
        }
        chosen_ = true;
        if (outcome_.restartNeeded) {
            host_.SetBusyCursor(false);
            RestartSequence();
            return 0;
        }
        TControllerInfo* entry = list_.CurrentEntry();
        TControllerInfo* dev = entry && entry->Drivable() ? entry : nullptr;
        if (!dev) {
            host_.SetBusyCursor(false);
            host_.Log("Wrong controller address.");
            return 0;
        }

        DetectionMessage msg;
        std::int32_t answer = mrOK;
        if (!wasReboot) {
            const bool finished = Probe();
            host_.SetBusyCursor(false);
            if (cancelled_)
                return 0;
            if (!finished) {
                host_.Log("Timeout error.");
                return 0;
            }
            msg = BuildDetectionMessage(dev->MasterInfo(), dev->SlaveInfo());
            dev->SetMaster(msg.master);
            if (msg.vendorPrompt)
                FillVendorPrompt();
            else
                AddMsgData().Clear();
            if (msg.logged)
                host_.Log(msg.text);
            report_.vendor = -1;
            answer = ShowMessageDlg(msg.text, MsgDlgType::Information, msg.buttons,
                                    SetupInstructionsAddress(), true);
            if (msg.vendorPrompt)
                report_.vendor = AddMsgData().choice;
            AddMsgData().Clear();
            if (cancelled_)
                return 0; // the program closed while the question was open
        } else {
            host_.SetBusyCursor(false);
        }

        switch (answer) {
        case mrOK: {
            flags_.SetDeviceReady();
            list_.Engine(dev)->SelectDevice();
            host_.StartStatusTimer();
            if (!msg.text.empty())
                host_.Log(msg.text);
            const std::int32_t vendor = report_.vendor;
            const DriveInfo& chosen = dev->Master() ? dev->MasterInfo() : dev->SlaveInfo();
            const DriveInfo& other = dev->Master() ? dev->SlaveInfo() : dev->MasterInfo();
            report_ = chosen;
            report_.vendor = vendor;
            report_.detected = 1;
            report_.master = dev->Master() ? 1 : 0;
            report_.otherKind = other.kind;
            report_.disabledByMe = dev->DisabledByMe() ? 1 : 0;
            report_.ports = dev->PortList();
            report_.deviceDesc = dev->DeviceDescCopy;
            host_.ShowDriveName(TrimBlanks(dev->Globals().CurrentId.Model()));
            SaveSettings();
            return 1;
        }
        case mrCancel:
            host_.Log(msg.text);
            host_.Log("Cancelled by user.");
            SaveSettings();
            return 0;
        case mrRetry:
            host_.Log(msg.text);
            continue;
        default:
            host_.Log(msg.text);
            host_.Log("Unknown error.");
            SaveSettings();
            return 0;
        }
    }
}

} // namespace zkv
