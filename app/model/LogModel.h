// The work form's log as HTML text, without any view.
//
// The log is one HTML document that is only ever appended to. AddLogText turns text into the
// fragment written into the document; while the log is being reset, text is collected instead
// and written after the new header. Every fragment goes to the sinks: the window's browser and
// the session log file.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

inline constexpr std::string_view kLogHeader = "<body bgcolor=#A6CAF0><font face=arial size=2>";

class LogModel {
public:
    // Receives each fragment as it is written. `isHeader` marks the header a reset writes.
    using Sink = std::function<void(const std::string& fragment, bool isHeader)>;

    void AddSink(Sink sink) { sinks_.push_back(std::move(sink)); }

    // Builds the fragment for `text`: each line (ended by CR LF, CR or LF; a final line break
    // starts no new line) followed by "<br>" when `lineBreak`, then CR LF.
    static std::string Fragment(std::string_view text, bool lineBreak);

    void AddLogText(std::string_view text, bool lineBreak = true);
    void AddLogTextBold(std::string_view text, bool lineBreak = true);

    // The two halves of ClearLog. BeginReset returns false when a reset is already running
    // (the caller then returns at once). Between them, text goes to the pending text.
    // EndReset empties the document and writes the header followed by the pending text.
    bool BeginReset();
    void EndReset();
    bool Resetting() const { return resetting_; }
    const std::string& PendingText() const { return pending_; }

    // The document as written since the last reset (header included).
    const std::string& Document() const { return document_; }

private:
    void Write(const std::string& fragment, bool isHeader);

    std::vector<Sink> sinks_;
    std::string document_;
    std::string pending_;
    bool resetting_ = false;
};

} // namespace zkv
