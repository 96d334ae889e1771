#include "app/TEditLetNum.h"

#include <QValidator>

namespace zkv {

namespace {

// Every change the user makes passes through validate(): the refused characters are dropped
// from the proposed text, so a paste of "12a3" into a digits-only field gives "123".
class LetNumValidator final : public QValidator {
public:
    LetNumValidator(const TEditLetNum& edit, QObject* parent) : QValidator(parent), edit_(edit) {}
    State validate(QString& input, int& pos) const override {
        const std::u32string all = input.toStdU32String();
        const std::u32string before = input.left(pos).toStdU32String();
        const std::u32string kept = edit_.Filter().Filter(all);
        if (kept.size() != all.size()) {
            pos = static_cast<int>(QString::fromStdU32String(edit_.Filter().Filter(before)).size());
            input = QString::fromStdU32String(kept);
        }
        return Acceptable;
    }

private:
    const TEditLetNum& edit_;
};

} // namespace

TEditLetNum::TEditLetNum(QWidget* parent) : QLineEdit(parent) {
    setValidator(new LetNumValidator(*this, this));
}

void TEditLetNum::Clear() {
    bool canClear = true;
    if (OnClear)
        OnClear(*this, canClear);
    if (canClear)
        clear();
}

} // namespace zkv
