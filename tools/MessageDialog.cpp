#include "tools/MessageDialog.h"

#include "support/Termination.h"

#include <array>
#include <atomic>

namespace zkv {

namespace {

constexpr std::array<std::string_view, 11> kCaptions = {"OK",        "Cancel",     "Yes",    "No",
                                                        "Abort",     "Retry",      "Ignore", "All",
                                                        "No to All", "Yes to All", "Help"};
constexpr std::array<std::string_view, 11> kDumpNames = {
    "OK", "Cancel", "Yes", "No", "Abort", "Retry", "Ignore", "All", "NoToAll", "YesToAll", "Help"};
constexpr std::array<std::string_view, 5> kKindNames = {"Error", "Information", "Confirmation",
                                                        "Warning", "Custom"};

UnattendedMessageDialog& DefaultDialog() {
    static UnattendedMessageDialog d;
    return d;
}

std::atomic<IMessageDialog*>& Installed() {
    static std::atomic<IMessageDialog*> d{nullptr};
    return d;
}

} // namespace

std::string KindName(std::uint8_t kind) {
    if (kind < kKindNames.size())
        return std::string(kKindNames[kind]);
    return "<kind " + std::to_string(kind) + ">";
}

std::string_view ButtonCaption(int index) {
    return index >= 0 && index < static_cast<int>(kCaptions.size()) ? kCaptions[index]
                                                                    : std::string_view{};
}

std::string_view ButtonDumpName(int index) {
    return index >= 0 && index < static_cast<int>(kDumpNames.size()) ? kDumpNames[index]
                                                                     : std::string_view{};
}

std::vector<int> ButtonIndexes(std::int32_t buttons, bool needHelp) {
    std::vector<int> out;
    for (int i = 0; i < mb::kButtonCount; ++i)
        if (buttons & (1 << i))
            out.push_back(i);
    if (needHelp)
        out.push_back(mrHelp);
    return out;
}

IMessageDialog& MessageDialog() {
    IMessageDialog* d = Installed().load();
    return d ? *d : DefaultDialog();
}

IMessageDialog* SetMessageDialog(IMessageDialog* dialog) {
    return Installed().exchange(dialog);
}

bool MessageDialogInstalled() {
    return Installed().load() != nullptr;
}

TAddMsgData& AddMsgData() {
    static TAddMsgData data;
    return data;
}

std::int32_t ShowMessageDlg(std::string_view text, MsgDlgType kind, std::int32_t buttons,
                            std::string_view helpLink, bool needHelp) {
    TMessageDlgData request;
    request.kind = kind;
    request.text = std::string(text);
    request.buttons = buttons;
    request.helpLink = std::string(helpLink);
    request.needHelp = needHelp ? 1 : 0;
    request.result = 0;
    if (TerminationRequested()) {
        AddMsgData().choice = -1;
        request.result = TerminationAnswer(buttons);
        return request.result;
    }
    return MessageDialog().Show(request, AddMsgData());
}

std::int32_t TerminationAnswer(std::int32_t buttons) {
    return (buttons & mb::No) ? mrNo : mrCancel;
}

bool AskYesNo(std::string_view text) {
    return ShowMessageDlg(text, MsgDlgType::Confirmation, mb::Yes | mb::No) != mrNo;
}

std::int32_t UnattendedAnswer(std::int32_t buttons) {
    for (std::int32_t pick : {mrOK, mrYes, mrCancel})
        if (buttons & (1 << pick))
            return pick;
    for (int i = 0; i < mb::kButtonCount; ++i)
        if (buttons & (1 << i))
            return i;
    return mrCancel;
}

std::int32_t UnattendedMessageDialog::Show(TMessageDlgData& request, TAddMsgData& extra) {
    request.result = UnattendedAnswer(request.buttons);
    extra.choice = -1; // the first item of an extra list
    if (log_)
        log_("answered " + std::string(ButtonCaption(request.result)) +
             " without asking: " + request.text);
    return request.result;
}

void ScriptedMessageDialog::Push(std::int32_t result, std::int32_t choice) {
    std::lock_guard g(lock_);
    answers_.push_back({result, choice});
}

std::int32_t ScriptedMessageDialog::Show(TMessageDlgData& request, TAddMsgData& extra) {
    std::lock_guard g(lock_);
    shown_.push_back({request, extra});
    if (answers_.empty()) {
        request.result = UnattendedAnswer(request.buttons);
        extra.choice = -1;
    } else {
        request.result = answers_.front().result;
        extra.choice = extra.items.empty() ? -1 : answers_.front().choice;
        answers_.erase(answers_.begin());
    }
    return request.result;
}

std::vector<ScriptedMessageDialog::Shown> ScriptedMessageDialog::ShownSoFar() const {
    std::lock_guard g(lock_);
    return shown_;
}

} // namespace zkv
