// Reading a file of the data directory (user.dat, UserSetup.ini, placement.ini, the reboot
// state) without trusting what stands under its name.
//
// The data directory belongs to the user, who may put anything there: a symbolic link to a file
// the client should never show, a FIFO that blocks every reader, a device, a file of gigabytes.
// The file is opened with O_NOFOLLOW | O_NONBLOCK (a link is refused, a FIFO does not block the
// open), must be a regular file no larger than the bound, and is read at most that many bytes.
// Anything else counts as absent, and the refusal is logged.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace zkv {

// The largest data-directory file the client reads.
inline constexpr std::size_t kMaxDataFileBytes = 1024 * 1024;

enum class DataFileStatus {
    Read,    // a regular file, read completely
    Absent,  // no such file
    Refused, // something else stands under the name (link, FIFO, device, directory, too
             // large) or reading failed: treated as absent
};

// Reads `path` into `content` (cleared unless Read). `why` receives the reason of a refusal.
DataFileStatus ReadDataFile(const std::filesystem::path& path, std::string& content,
                            std::size_t maxBytes = kMaxDataFileBytes, std::string* why = nullptr);

// Where refusals are logged: one line each, "Ignoring <path>: <reason>". The default writes to
// standard error. Returns the previous sink; an empty function restores the default.
using DataFileLog = std::function<void(const std::string& line)>;
DataFileLog SetDataFileLog(DataFileLog sink);

} // namespace zkv
