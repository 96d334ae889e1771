// The one way the client asks the user anything: a message with a kind and a set of buttons,
// answered by the index of the pressed button.
//
// The core fills a TMessageDlgData and hands it to the program-wide IMessageDialog. The desktop
// client installs the Qt dialog (TfrmMessageDlg); tests install a ScriptedMessageDialog; with
// --unattended the UnattendedMessageDialog answers every question without a person.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

enum class MsgDlgType : std::uint8_t {
    Error = 0,
    Information = 1,
    Confirmation = 2,
    Warning = 3,
    Custom = 4,
};

// Button bits, in display order; the index of a bit is the result of its button.
namespace mb {
inline constexpr std::int32_t OK = 0x001, Cancel = 0x002, Yes = 0x004, No = 0x008, Abort = 0x010,
                              Retry = 0x020, Ignore = 0x040, All = 0x080, NoToAll = 0x100,
                              YesToAll = 0x200;
inline constexpr int kButtonCount = 10;
} // namespace mb

// Results (button indexes). Help (10) never closes the dialog.
enum MsgResult : std::int32_t {
    mrOK = 0,
    mrCancel = 1,
    mrYes = 2,
    mrNo = 3,
    mrAbort = 4,
    mrRetry = 5,
    mrIgnore = 6,
    mrAll = 7,
    mrNoToAll = 8,
    mrYesToAll = 9,
    mrHelp = 10,
};

// "Error", "Information", "Confirmation", "Warning", "Custom"; "<kind n>" out of range.
std::string KindName(std::uint8_t kind);
// Button captions as shown: "OK" ... "Yes to All", "Help" (index 0..10); empty out of range.
std::string_view ButtonCaption(int index);
// Button names used in dumps: "OK" ... "NoToAll", "YesToAll", "Help"; empty out of range.
std::string_view ButtonDumpName(int index);
// The indexes of the buttons a request shows, in display order (Help last when asked for).
std::vector<int> ButtonIndexes(std::int32_t buttons, bool needHelp);

// The dialog request: filled before each showing, result written by the dialog.
struct TMessageDlgData {
    MsgDlgType kind = MsgDlgType::Information;
    std::string text; // HTML
    std::int32_t buttons = 0;
    std::int32_t result = 0;
    std::int32_t needHelp = 0;
    std::string helpLink;
};

// The extra drop-down list above the message (the detection's questions). Shown when it holds
// at least one item; `choice` is the selected index minus 1 after a button closed the dialog
// (-1 for the first item, and when no list was shown).
struct TAddMsgData {
    std::string caption;
    std::vector<std::string> items;
    std::int32_t choice = -1;

    void Clear() {
        caption.clear();
        items.clear();
        choice = -1;
    }
};

class IMessageDialog {
public:
    virtual ~IMessageDialog() = default;
    // Shows the request modally and returns the result (also stored in request.result). Only
    // called on the main thread; worker threads go through IMainThread::Invoke.
    virtual std::int32_t Show(TMessageDlgData& request, TAddMsgData& extra) = 0;
};

// The program-wide dialog and the shared additional choice.
IMessageDialog& MessageDialog();
// Installs `dialog` (not owned; nullptr puts back the default, which answers like
// --unattended without logging). Returns the previous one.
IMessageDialog* SetMessageDialog(IMessageDialog* dialog);
TAddMsgData& AddMsgData();
// True when a dialog has been installed (false while the default answers).
bool MessageDialogInstalled();

// Show message(text, kind, buttons, help link, need help) -> result index. Once termination has
// been requested nothing is shown: the answer is TerminationAnswer(buttons).
std::int32_t ShowMessageDlg(std::string_view text, MsgDlgType kind, std::int32_t buttons,
                            std::string_view helpLink = {}, bool needHelp = false);
// A local yes/no question (Confirmation, Yes and No): true unless the answer was No.
bool AskYesNo(std::string_view text);

// The answer of a question that a termination request (SIGTERM, SIGINT, SIGHUP) closed, or that
// is asked after one: No when No is offered, else Cancel. Nothing is agreed to on the way out.
std::int32_t TerminationAnswer(std::int32_t buttons);

// The answer a person-less run gives: the first offered of OK, Yes, Cancel, in that order,
// else the first button shown, else Cancel (the close box).
std::int32_t UnattendedAnswer(std::int32_t buttons);

// --unattended: answers every question by UnattendedAnswer, choosing the first item of an
// extra list, and logs each answer through `log` ("answered OK without asking: <text>").
class UnattendedMessageDialog final : public IMessageDialog {
public:
    explicit UnattendedMessageDialog(std::function<void(const std::string&)> log = {})
        : log_(std::move(log)) {}
    std::int32_t Show(TMessageDlgData& request, TAddMsgData& extra) override;

private:
    std::function<void(const std::string&)> log_;
};

// For tests: answers from a queue (the unattended answer once it runs dry) and records every
// request it was shown. Safe to use from any thread.
class ScriptedMessageDialog final : public IMessageDialog {
public:
    struct Shown {
        TMessageDlgData request;
        TAddMsgData extra;
    };
    struct Answer {
        std::int32_t result = 0;
        std::int32_t choice = -1; // the additional choice stored with it
    };

    void Push(std::int32_t result, std::int32_t choice = -1);
    std::int32_t Show(TMessageDlgData& request, TAddMsgData& extra) override;
    std::vector<Shown> ShownSoFar() const;

private:
    mutable std::mutex lock_;
    std::vector<Answer> answers_;
    std::vector<Shown> shown_;
};

// Installs a dialog for one scope and puts back the previous one.
class ScopedMessageDialog {
public:
    explicit ScopedMessageDialog(IMessageDialog& d) : previous_(SetMessageDialog(&d)) {}
    ~ScopedMessageDialog() { SetMessageDialog(previous_); }
    ScopedMessageDialog(const ScopedMessageDialog&) = delete;
    ScopedMessageDialog& operator=(const ScopedMessageDialog&) = delete;

private:
    IMessageDialog* previous_;
};

} // namespace zkv
