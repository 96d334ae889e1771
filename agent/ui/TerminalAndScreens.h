// The work window's serial bridge and instruction screens, made and owned in one place.
//
// Holds the port (termios, its events through QSocketNotifier), the bridge over it, the jumper
// window and the screens shown in it. The work form creates one, hands Services() to the
// protocol engine, and passes the jumper window's answer (message 1029) to AnswerTechnician.
#pragma once

#include "agent/ComPortBridge.h"
#include "agent/DisplayScreens.h"
#include "agent/TechnicianServices.h"
#include "agent/ui/QtNotifiers.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zkv {

class TfrmJumpers;

struct TerminalAndScreensSetup {
    // Serial devices for ports 1, 2, ...; empty: the machine's (SerialDeviceList).
    std::vector<std::string> serialPorts;
    bool unattended = false;
    int answerDelayMs = 0; // how long an unattended screen stays up before it is answered
    std::function<void()> toggleConnection;
    std::function<void()> collapseActivityPanel;
    // The jumper window closed: (screen code, answer). The work form posts message 1029.
    std::function<void(std::int32_t, std::uint8_t)> onAnswer;
};

class TTerminalAndScreens final {
public:
    TTerminalAndScreens(QObject* context, TerminalAndScreensSetup setup);
    ~TTerminalAndScreens();

    // The two services for the engine (channel, scan and power come from elsewhere).
    TechnicianServices Services();
    // Message 1029 (see DisplayScreens::AnswerTechnician).
    bool AnswerTechnician(long kind, long answer) {
        return screens_->AnswerTechnician(kind, answer);
    }

    ComPortBridge& Bridge() { return *bridge_; }
    DisplayScreens& Screens() { return *screens_; }
    TfrmJumpers& Jumpers() { return *jumpers_; }
    TermiosSerialPort& Port() { return *port_; }

private:
    QtNotifiers notifiers_;
    std::unique_ptr<TermiosSerialPort> port_;
    std::unique_ptr<ComPortBridge> bridge_;
    std::unique_ptr<TfrmJumpers> jumpers_;
    std::unique_ptr<DisplayScreens> screens_;
};

} // namespace zkv
