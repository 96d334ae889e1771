// TfrmJumpers: the window the technician's instruction screens appear in ("Message from
// Technician").
//
// It shows a JumperScreen (agent/DisplayScreens.h) without blocking and reports, when it closes,
// the screen code and the answer: 1 for the first button (btnDone), 0 for the second
// (btnICanNot) and for any other way of closing it (Alt+F4, Escape). Its title bar has no
// buttons. With `unattended` it answers with its first usable button as soon as it is shown.
#pragma once

#include "agent/DisplayScreens.h"

#include <QDialog>

#include <array>
#include <functional>

class QComboBox;
class QLabel;
class QPushButton;
class QTextEdit;
class QWidget;

namespace zkv {

class TfrmJumpers final : public QDialog, public IJumperWindow {
    Q_OBJECT
public:
    // unattended: the first button that can be pressed answers, answerDelayMs after the
    // window is up.
    explicit TfrmJumpers(bool unattended = false, QWidget* parent = nullptr, int answerDelayMs = 0);

    // --- IJumperWindow ---
    void ShowScreen(const JumperScreen& screen) override;
    std::string VendorText() const override;

    // Called when the window closes: (screen code, answer).
    void SetOnClosed(std::function<void(std::int32_t, std::uint8_t)> fn) {
        onClosed_ = std::move(fn);
    }
    bool MessageOpen() const { return open_; }
    std::uint8_t Answer() const { return answer_; }
    std::int32_t ScreenNumber() const { return screenNumber_; }
    QLabel* Picture(JumperPicture p) const { return pictures_[static_cast<std::size_t>(p)]; }

    // Plays ringin.wav from the program's resources without waiting; nothing happens without a
    // sound device or a player.
    static void PlayChime();
    // The directory of the shipped images (build tree or installation), empty when not found.
    static QString ResourceDir();

    QWidget* Panel1;
    QWidget* Panel2;
    QTextEdit* RichEdit1;
    QPushButton* btnDone;
    QPushButton* btnICanNot;
    QComboBox* cbbVendors;

protected:
    void done(int r) override;
    void showEvent(QShowEvent* e) override;

private:
    void AnswerIfUnattended();

    std::array<QLabel*, kJumperPictureCount> pictures_{};
    std::function<void(std::int32_t, std::uint8_t)> onClosed_;
    bool unattended_;
    int answerDelayMs_ = 0;
    bool open_ = false;
    std::uint8_t answer_ = 0;
    std::int32_t screenNumber_ = 0;
    std::size_t vendorsShown_ = 0;
};

} // namespace zkv
