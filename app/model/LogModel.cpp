#include "app/model/LogModel.h"

namespace zkv {

std::string LogModel::Fragment(std::string_view text, bool lineBreak) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        out.append(text.substr(i, end - i));
        if (lineBreak)
            out += "<br>";
        out += "\r\n";
        if (end < text.size()) {
            // Skip one line break: CR LF, CR or LF.
            if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
                end += 2;
            else
                end += 1;
        }
        i = end;
    }
    return out;
}

void LogModel::AddLogText(std::string_view text, bool lineBreak) {
    if (resetting_) {
        pending_.append(text);
        if (lineBreak)
            pending_ += "\r\n";
        return;
    }
    const std::string fragment = Fragment(text, lineBreak);
    if (!fragment.empty())
        Write(fragment, false);
}

void LogModel::AddLogTextBold(std::string_view text, bool lineBreak) {
    std::string bold = "<b>";
    bold.append(text);
    bold += "</b>";
    AddLogText(bold, lineBreak);
}

bool LogModel::BeginReset() {
    if (resetting_)
        return false;
    resetting_ = true;
    pending_.clear();
    return true;
}

void LogModel::EndReset() {
    resetting_ = false;
    document_.clear();
    // The header and the text logged meanwhile go out as one write, without "<br>".
    std::string text(kLogHeader);
    text += pending_;
    pending_.clear();
    Write(Fragment(text, false), true);
}

void LogModel::Write(const std::string& fragment, bool isHeader) {
    document_ += fragment;
    for (auto& sink : sinks_)
        sink(fragment, isHeader);
}

} // namespace zkv
