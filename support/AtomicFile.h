// Replacing a file atomically: the new content goes into a temporary file beside the target,
// is flushed to disk and then renamed over the target, so a reader sees either the old file or
// the complete new one, never a half-written one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zkv {

// Writes `content` to `path` with permission bits `mode` (the temporary file is created with
// them, so the content is never readable with wider rights). Returns false and sets `error`
// when any step fails; the target is then untouched and no temporary file is left behind.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                         std::string* error = nullptr);

// Reads a whole file through ReadDataFile (support/DataFile.h): false unless it is a regular
// file, not a symbolic link, within the data-file bound, read completely.
bool ReadWholeFile(const std::filesystem::path& path, std::string& content);

} // namespace zkv
