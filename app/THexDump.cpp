#include "app/THexDump.h"

#include <QFont>
#include <QScrollBar>

namespace zkv {

THexDump::THexDump(QWidget* parent) : QPlainTextEdit(parent) {
    QFont f("Courier");
    f.setStyleHint(QFont::Monospace);
    setFont(f);
    setReadOnly(true);
    setAcceptDrops(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void THexDump::SetHexDisplay(bool on) {
    hexDisplay_ = on;
    DisplayInternal();
}

void THexDump::SetSymbInString(int n) {
    symbInString_ = n;
    DisplayInternal();
}

void THexDump::SetDataFormat(TDataFormat f) {
    dataFormat_ = f;
    DisplayInternal();
}

void THexDump::Display(const std::uint8_t* bytes, std::size_t length) {
    data_.assign(bytes, bytes + (bytes ? length : 0));
    DisplayInternal();
}

void THexDump::DisplayInternal() {
    if (hexDisplay_)
        DisplayAsHex();
    else
        DisplayAsText();
}

void THexDump::DisplayAsHex() {
    if (data_.empty())
        return;
    clear();
    for (const auto& line : HexDumpHexLines(data_, symbInString_, dataFormat_))
        appendPlainText(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    ShowFromTheStart();
}

void THexDump::DisplayAsText() {
    if (data_.empty())
        return;
    clear();
    for (const auto& line : HexDumpTextLines(data_, symbInString_))
        appendPlainText(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    ShowFromTheStart();
}

// A filled dump is read from its first offset: the caret and the view go back to the top
// (appending lines leaves both at the end).
void THexDump::ShowFromTheStart() {
    moveCursor(QTextCursor::Start);
    verticalScrollBar()->setValue(verticalScrollBar()->minimum());
    horizontalScrollBar()->setValue(horizontalScrollBar()->minimum());
}

} // namespace zkv
