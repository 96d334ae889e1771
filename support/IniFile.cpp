#include "support/IniFile.h"

#include "support/AtomicFile.h"
#include "support/DataFile.h"
#include "support/UserData.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace zkv {

namespace {

std::string_view Trim(std::string_view s) {
    const char* blanks = " \t";
    std::size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos)
        return {};
    std::size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string OneLine(std::string_view v) {
    std::string s(v);
    std::replace(s.begin(), s.end(), '\r', ' ');
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

} // namespace

bool IniFile::Load() {
    sections_.clear();
    std::string text;
    switch (ReadDataFile(path_, text)) {
    case DataFileStatus::Read:
        Parse(text);
        return true;
    case DataFileStatus::Absent:
        return true;
    case DataFileStatus::Refused: // logged; readers take their defaults, writers keep away
        break;
    }
    return false;
}

bool IniFile::Save(unsigned mode, std::string* error) const {
    return WriteFileAtomically(path_, Text(), static_cast<mode_t>(mode), error);
}

void IniFile::Parse(std::string_view text) {
    sections_.clear();
    sections_.push_back(Section{"", false, {}});
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        std::string_view raw =
            text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (end == std::string_view::npos)
            pos = text.size();
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            pos = end + 2;
        else
            pos = end + 1;

        std::string_view t = Trim(raw);
        if (!t.empty() && t.front() == '[' && t.find(']') != std::string_view::npos) {
            sections_.push_back(Section{std::string(Trim(t.substr(1, t.find(']') - 1))), true, {}});
            continue;
        }
        Line line;
        line.raw = std::string(raw);
        std::size_t eq = t.find('=');
        if (!t.empty() && t.front() != ';' && t.front() != '#' && eq != std::string_view::npos &&
            !Trim(t.substr(0, eq)).empty()) {
            line.key = std::string(Trim(t.substr(0, eq)));
            line.value = std::string(Trim(t.substr(eq + 1)));
        }
        sections_.back().lines.push_back(std::move(line));
    }
}

std::string IniFile::Text() const {
    std::string out;
    for (const Section& s : sections_) {
        if (s.headed)
            out += "[" + s.name + "]\r\n";
        for (const Line& l : s.lines) {
            out += l.key.empty() ? l.raw : l.key + "=" + l.value;
            out += "\r\n";
        }
    }
    return out;
}

IniFile::Section* IniFile::FindSection(std::string_view name) {
    for (Section& s : sections_)
        if (s.headed && SameName(s.name, name))
            return &s;
    return nullptr;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
    for (const Section& s : sections_)
        if (s.headed && SameName(s.name, name))
            return &s;
    return nullptr;
}

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
    const Section* s = FindSection(section);
    if (!s)
        return std::nullopt;
    for (const Line& l : s->lines) {
        if (!l.key.empty() && SameName(l.key, key)) {
            const std::string& v = l.value;
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                return v.substr(1, v.size() - 2);
            return v;
        }
    }
    return std::nullopt;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
    auto v = Read(section, key);
    return v ? *v : std::string(fallback);
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                                  std::int32_t fallback) const {
    auto v = Read(section, key);
    if (!v)
        return fallback;
    std::string_view t = Trim(*v);
    std::int32_t out = 0;
    if (ParseInt32(t, out))
        return out;
    // Hexadecimal as Windows settings files often hold colours: 0x... or $...
    std::string_view hex;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        hex = t.substr(2);
    else if (t.size() > 1 && t[0] == '$')
        hex = t.substr(1);
    if (hex.empty() || hex.size() > 8)
        return fallback;
    std::uint32_t u = 0;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return fallback;
        u = u * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                    ? c - '0'
                                                    : std::tolower(static_cast<unsigned char>(c)) -
                                                          'a' + 10);
    }
    return static_cast<std::int32_t>(u);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
    auto v = Read(section, key);
    if (!v)
        return fallback;
    std::string_view t = Trim(*v);
    if (t == "1" || SameName(t, "true"))
        return true;
    if (t == "0" || SameName(t, "false"))
        return false;
    return fallback;
}

bool IniFile::HasSection(std::string_view section) const {
    return FindSection(section) != nullptr;
}

bool IniFile::HasKey(std::string_view section, std::string_view key) const {
    return Read(section, key).has_value();
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    if (sections_.empty())
        sections_.push_back(Section{"", false, {}});
    Section* s = FindSection(section);
    if (!s) {
        sections_.push_back(Section{OneLine(section), true, {}});
        s = &sections_.back();
    }
    for (Line& l : s->lines) {
        if (!l.key.empty() && SameName(l.key, key)) {
            l.value = OneLine(value);
            return;
        }
    }
    // New keys go after the section's last entry, before trailing blank or comment lines.
    auto at = s->lines.end();
    while (at != s->lines.begin() && std::prev(at)->key.empty())
        --at;
    Line line;
    line.key = OneLine(key);
    line.value = OneLine(value);
    s->lines.insert(at, std::move(line));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void IniFile::EraseSection(std::string_view section) {
    sections_.erase(
        std::remove_if(sections_.begin(), sections_.end(),
                       [&](const Section& s) { return s.headed && SameName(s.name, section); }),
        sections_.end());
}

} // namespace zkv
