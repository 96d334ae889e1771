// THexDump: a read-only text view of a byte block, as hexadecimal items (bytes, words or double
// words) or as characters, with the 8-digit offset at the start of each line. A filled dump
// shows its first line. Nothing can be pasted or dropped in.
#pragma once

#include "app/model/EditComponents.h"

#include <QPlainTextEdit>

#include <cstdint>
#include <vector>

namespace zkv {

class THexDump : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit THexDump(QWidget* parent = nullptr);

    bool HexDisplay() const { return hexDisplay_; }
    int SymbInString() const { return symbInString_; }
    TDataFormat DataFormat() const { return dataFormat_; }
    // Each setter draws the kept block again.
    void SetHexDisplay(bool on);
    void SetSymbInString(int n);
    void SetDataFormat(TDataFormat f);

    // Keeps a copy of the block and draws it.
    void Display(const std::uint8_t* bytes, std::size_t length);

protected:
    bool canInsertFromMimeData(const QMimeData*) const override { return false; }
    void insertFromMimeData(const QMimeData*) override {}

private:
    void DisplayInternal();
    void DisplayAsHex();
    void DisplayAsText();
    void ShowFromTheStart();

    std::vector<std::uint8_t> data_;
    bool hexDisplay_ = false;
    int symbInString_ = 16;
    TDataFormat dataFormat_ = TDataFormat::dfByte;
};

} // namespace zkv
