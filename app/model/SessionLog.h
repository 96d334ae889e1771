// The session log: every fragment of the work form's log, appended to an HTML file as it is
// written, so that a user can send the file to support and nothing is lost if the program dies.
//
// One file per run under <data directory>/logs/, named by the start time and process id.
#pragma once

#include <string>

namespace zkv {

class SessionLog {
public:
    SessionLog() = default;
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // Creates <dir>/logs (mode 0700) and a new file in it. False, with Error() telling why,
    // when either cannot be created.
    bool Open(const std::string& dataDir);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

    // Appends one fragment of the log as it was written into the window. A reset of the window's
    // log (its header written again) is marked in the file, which itself is never cleared.
    void Append(const std::string& fragment, bool isHeader);

    void Close();

private:
    void WriteAll(const std::string& bytes);

    int fd_ = -1;
    bool wroteHeader_ = false;
    std::string path_;
    std::string error_;
};

} // namespace zkv
