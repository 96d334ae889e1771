// TEditLetNum: a single-line edit that accepts only digits, only letters, both, or only
// hexadecimal digits. The filter applies to everything the user puts in: typed keys, pasted
// and dropped text; text set by the program is taken as it is.
#pragma once

#include "app/model/EditComponents.h"

#include <QLineEdit>

#include <functional>

namespace zkv {

class LetNumValidator;

class TEditLetNum : public QLineEdit {
    Q_OBJECT
public:
    explicit TEditLetNum(QWidget* parent = nullptr);

    bool EnableLet() const { return filter_.enableLet; }
    bool EnableNum() const { return filter_.enableNum; }
    bool GetHexMode() const { return filter_.hexMode; }
    void SetEnableLet(bool on) { filter_.enableLet = on; }
    void SetEnableNum(bool on) { filter_.enableNum = on; }
    void SetHexMode(bool on) { filter_.hexMode = on; }

    // Asked before the text is cleared; setting the flag to false keeps the text.
    std::function<void(TEditLetNum& sender, bool& canClear)> OnClear;
    void Clear();

    const LetNumFilter& Filter() const { return filter_; }

    // Text set by the program is taken as it is (a stored "-1" stays "-1").
    void setText(const QString& text);

private:
    friend class LetNumValidator;
    LetNumFilter filter_;
    QString lastText_;
    bool programText_ = false;
};

} // namespace zkv
