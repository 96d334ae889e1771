#include "agent/ui/TerminalAndScreens.h"

#include "tools/ui/TfrmJumpers.h"

namespace zkv {

TTerminalAndScreens::TTerminalAndScreens(QObject* context, TerminalAndScreensSetup setup)
    : notifiers_(context) {
    std::vector<std::string> devices =
        setup.serialPorts.empty() ? SerialDeviceList() : setup.serialPorts;
    port_ = std::make_unique<TermiosSerialPort>(std::move(devices), notifiers_);
    bridge_ = std::make_unique<ComPortBridge>(*port_);
    // A window of its own (no parent), so it is centred on the screen and not on the work form.
    jumpers_ = std::make_unique<TfrmJumpers>(setup.unattended, nullptr, setup.answerDelayMs);
    jumpers_->SetOnClosed(std::move(setup.onAnswer));
    ScreenHooks hooks;
    hooks.toggleConnection = std::move(setup.toggleConnection);
    hooks.collapseActivityPanel = std::move(setup.collapseActivityPanel);
    hooks.playSound = [] { TfrmJumpers::PlayChime(); };
    screens_ = std::make_unique<DisplayScreens>(*jumpers_, std::move(hooks));
}

TTerminalAndScreens::~TTerminalAndScreens() {
    bridge_->SetLink(nullptr);
    screens_->SetLink(nullptr);
    bridge_->Close();
    jumpers_->SetOnClosed({});
}

TechnicianServices TTerminalAndScreens::Services() {
    TechnicianServices s;
    s.comPort = bridge_.get();
    s.screens = screens_.get();
    return s;
}

} // namespace zkv
