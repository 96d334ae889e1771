#include "app/TEditLetNum.h"

#include <QValidator>

namespace zkv {

// Every change the user makes passes through validate(): of the characters it inserts (typed,
// pasted or dropped), the refused ones are dropped, so a paste of "12a3" into a digits-only
// field gives "123". What was there before stays as it is. A change whose inserted characters
// are all refused (a stray letter typed over a selection) is refused as a whole: the line edit
// then takes it back, and the selection it would have replaced stays, still selected.
class LetNumValidator final : public QValidator {
public:
    LetNumValidator(const TEditLetNum& edit, QObject* parent) : QValidator(parent), edit_(edit) {}
    State validate(QString& input, int& pos) const override {
        if (edit_.programText_)
            return Acceptable;
        const QString& old = edit_.lastText_;
        qsizetype pre = 0;
        while (pre < old.size() && pre < input.size() && old[pre] == input[pre])
            ++pre;
        qsizetype suf = 0;
        while (suf < old.size() - pre && suf < input.size() - pre &&
               old[old.size() - 1 - suf] == input[input.size() - 1 - suf])
            ++suf;
        const QString inserted = input.mid(pre, input.size() - pre - suf);
        const QString kept =
            QString::fromStdU32String(edit_.Filter().Filter(inserted.toStdU32String()));
        if (!inserted.isEmpty() && kept.isEmpty())
            return Invalid;
        if (kept != inserted) {
            input = input.left(pre) + kept + input.right(suf);
            pos = static_cast<int>(pre + kept.size());
        }
        return Acceptable;
    }

private:
    const TEditLetNum& edit_;
};

TEditLetNum::TEditLetNum(QWidget* parent) : QLineEdit(parent) {
    setValidator(new LetNumValidator(*this, this));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& t) { lastText_ = t; });
}

void TEditLetNum::setText(const QString& text) {
    programText_ = true;
    QLineEdit::setText(text);
    programText_ = false;
}

void TEditLetNum::Clear() {
    bool canClear = true;
    if (OnClear)
        OnClear(*this, canClear);
    if (canClear)
        clear();
}

} // namespace zkv
