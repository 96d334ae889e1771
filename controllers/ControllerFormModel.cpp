#include "controllers/ControllerFormModel.h"

#include "controllers/ControllerList.h"
#include "support/Deployment.h"
#include "tools/MessageDialog.h"

namespace zkv {

TControllerFormModel::TControllerFormModel(TClassInfoList* list, TChannelChoice& outcome,
                                           std::function<void(const std::string&)> log)
    : list_(list), outcome_(outcome), log_(std::move(log)) {
    outcome_.Clear();
    // The states as they are now: since the form last showed, the user may have unmounted the
    // disk that made a channel refuse, or the system may have taken a channel back.
    if (list_)
        list_->RefreshStatus();
    Fill();
}

bool TControllerFormModel::DetectEnabled() const {
    return list_ && !list_->Classes().empty();
}

std::string TControllerFormModel::Hint() const {
    return DetectEnabled() ? kHint : "";
}

void TControllerFormModel::Fill() {
    nodes_.clear();
    if (!DetectEnabled())
        return;
    auto& classes = list_->Classes();
    int parent = -1;
    for (auto& e : classes[0]->Entries()) {
        if (!e->Inited)
            continue;
        ControllerNode n;
        n.entry = e.get();
        n.text = e->DeviceDesc;
        n.image = ControllerNode::kController;
        if (!e->PassThrough.empty()) {
            // Under the controller entry of its PCI function (the AHCI or USB host).
            n.image = ControllerNode::kPassThroughDisk;
            for (std::size_t i = nodes_.size(); i-- > 0;)
                if (nodes_[i].parent < 0 && nodes_[i].entry->PassThrough.empty() &&
                    nodes_[i].entry->Function == e->Function) {
                    n.parent = static_cast<int>(i);
                    break;
                }
        } else if (e->DriverIndex == 0) {
            parent = static_cast<int>(nodes_.size());
        } else {
            n.parent = parent;
        }
        nodes_.push_back(n);
    }
    const int lastParent = parent;
    if (classes.size() > 1)
        for (auto& e : classes[1]->Entries()) {
            if (!e->Inited)
                continue;
            ControllerNode n;
            n.entry = e.get();
            n.text = e->DeviceDesc;
            n.image = ControllerNode::kRaid;
            nodes_.push_back(n);
        }
    for (ControllerNode& n : nodes_) {
        n.disabled = n.entry->Disabled;
        n.notDisableable = !n.entry->Disableable;
    }
    if (lastParent >= 0)
        nodes_[static_cast<std::size_t>(lastParent)].expanded = true;
}

TControllerFormModel::After TControllerFormModel::Detect(TControllerInfo* entry) {
    outcome_.Clear();
    outcome_.SetMessage("Wrong controller address.");
    std::int32_t answer = mrOK;
    if (!list_ || !entry || list_->SelectController(entry) != 0) {
        ShowMessageDlg(outcome_.message, MsgDlgType::Error, mb::OK);
    } else {
        // Read again: a refusal seen earlier may no longer hold.
        entry->RefreshStatus();
        if (!entry->Disabled && log_)
            log_("Trying to disable chosen IDE channel.");
        bool restart = false, ok = false;
        std::string message = outcome_.message;
        const int r = entry->PrepareForRepair(restart, ok, message);
        outcome_.SetMessage(message);
        outcome_.restartNeeded = restart;
        outcome_.ok = ok;
        if (r != 0) {
            if (!entry->Refusal.empty() && log_)
                log_(entry->Refusal);
            answer = ShowMessageDlg(outcome_.message, MsgDlgType::Warning, mb::OK | mb::Cancel,
                                    SetupInstructionsAddress(), true);
            if (answer == mrOK)
                return After::StayOpen; // the user chooses again; the refusal is kept till then
        } else if (ok) {
            if (log_)
                log_("Chosen IDE channel is disabled.");
            list_->RefreshStatus();
            Fill();
        } else if (log_ && !entry->Refusal.empty()) {
            // The change of state failed: the channel was not taken.
            log_(entry->Refusal);
        }
    }
    if (answer == mrCancel)
        outcome_.SetMessage(outcome_.message + "\r\nCancelled by user.");
    return After::Close;
}

void TControllerFormModel::Cancel() {
    outcome_.Clear();
    outcome_.SetMessage("Cancelled by user.");
}

} // namespace zkv
