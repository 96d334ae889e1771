#include "app/model/CloseSequence.h"

namespace zkv {

namespace {

template <typename F> void Call(const F& f) {
    if (f)
        f();
}

} // namespace

CloseOutcome RunCloseSequence(const CloseState& state, const CloseHooks& h) {
    if (state.technicianAttached && h.askYesNo && !h.askYesNo(kCloseQuestion))
        return CloseOutcome::Cancelled;
    if (h.scanRunning && h.scanRunning())
        Call(h.stopScan);
    Call(h.setNoReconnect);
    if (!state.secondInstance && state.rebootFlagsRead)
        Call(h.writeRebootFlags);
    Call(h.closePortDriver);
    Call(h.closeComPort);
    Call(h.endAtaWorker);
    if (state.wasReboot) {
        Call(h.saveControllerSettings);
        return CloseOutcome::Close;
    }
    if (state.secondInstance || !h.controllerListCreated || !h.controllerListCreated())
        return CloseOutcome::Close;
    Call(h.clearRestartNeeded);
    if (h.log)
        h.log(kEnablingChannelLog);
    Call(h.enableMyChannels);
    if (h.restartNeeded && h.restartNeeded() && h.showMessage)
        h.showMessage(kRebootToEnableMessage);
    return CloseOutcome::Close;
}

} // namespace zkv
