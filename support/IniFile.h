// IniFile: a settings file in Windows INI syntax.
//
//   [Section]
//   Key=Value
//   ; comment
//
// Section and key names compare without regard to case; blanks around names and values are
// ignored; a value enclosed in matching double quotes loses them on reading. Lines the class
// does not understand, comments and the order of sections and keys are kept when the file is
// written back. Files are written with CR LF line ends, atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

class IniFile {
public:
    IniFile() = default;
    explicit IniFile(std::filesystem::path path) : path_(std::move(path)) {}

    // Reads the file (ReadDataFile: no link, no FIFO, a bounded regular file). A missing file is
    // an empty settings file (true); anything else under the name, or a file that cannot be
    // read, gives false (logged) and leaves the object empty.
    bool Load();
    // Writes the file atomically with the given permission bits.
    bool Save(unsigned mode = 0644, std::string* error = nullptr) const;

    // Parses text in INI syntax, replacing the current content.
    void Parse(std::string_view text);
    // The content in INI syntax, CR LF line ends.
    std::string Text() const;

    const std::filesystem::path& Path() const { return path_; }

    std::optional<std::string> Read(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view fallback) const;
    // Decimal, optionally signed, or hexadecimal with a 0x or $ prefix, within 32 bits;
    // anything else gives the fallback.
    std::int32_t ReadInteger(std::string_view section, std::string_view key,
                             std::int32_t fallback) const;
    // "1"/"0", "true"/"false" (any case); anything else gives the fallback.
    bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;
    bool HasSection(std::string_view section) const;
    bool HasKey(std::string_view section, std::string_view key) const;

    // Writes a value, adding the section and key when missing. Line breaks in a value are
    // replaced by blanks: a value is one line.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    void EraseSection(std::string_view section);

private:
    struct Line {
        std::string raw; // as read, for lines that are not entries
        std::string key; // empty for non-entry lines
        std::string value;
    };
    struct Section {
        std::string name;
        bool headed = true; // false for the lines before the first section header
        std::vector<Line> lines;
    };
    Section* FindSection(std::string_view name);
    const Section* FindSection(std::string_view name) const;

    std::filesystem::path path_;
    std::vector<Section> sections_;
};

} // namespace zkv
