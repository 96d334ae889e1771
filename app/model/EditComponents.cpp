#include "app/model/EditComponents.h"

#include <cstdio>

namespace zkv {

bool LetNumFilter::Accepts(char32_t c) const {
    if (c == 8)
        return true;
    const bool digit = c >= U'0' && c <= U'9';
    if (hexMode)
        return digit || (c >= U'A' && c <= U'F') || (c >= U'a' && c <= U'f');
    return digit ? enableNum : enableLet;
}

std::u32string LetNumFilter::Filter(std::u32string_view text) const {
    std::u32string out;
    for (char32_t c : text)
        if (c != 8 && Accepts(c))
            out.push_back(c);
    return out;
}

int ItemWidth(TDataFormat f) {
    return f == TDataFormat::dfWord ? 2 : f == TDataFormat::dfDword ? 4 : 1;
}

namespace {

std::string Offset(std::size_t offset) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08zX: ", offset);
    return buf;
}

} // namespace

std::vector<std::string> HexDumpHexLines(std::span<const std::uint8_t> data, int perLine,
                                         TDataFormat format) {
    std::vector<std::string> lines;
    if (data.empty())
        return lines;
    const std::size_t width = static_cast<std::size_t>(ItemWidth(format));
    const int per = perLine > 0 ? perLine : 1;
    std::size_t at = 0;
    std::string line = Offset(0);
    int items = 0;
    while (at + width <= data.size()) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < width; ++i)
            v |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%0*X ", static_cast<int>(width * 2), v);
        line += buf;
        at += width;
        if (++items == per) {
            lines.push_back(line);
            line = Offset(at);
            items = 0;
        }
    }
    if (items > 0)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> HexDumpTextLines(std::span<const std::uint8_t> data, int perLine) {
    std::vector<std::string> lines;
    if (data.empty())
        return lines;
    const int per = perLine > 0 ? perLine : 1;
    std::string line = Offset(0);
    int count = 0;
    for (std::size_t at = 0; at < data.size(); ++at) {
        line.push_back(data[at] < 32 ? '.' : static_cast<char>(data[at]));
        if (++count == per) {
            lines.push_back(line);
            line = Offset(at + 1);
            count = 0;
        }
    }
    if (count > 0)
        lines.push_back(line);
    return lines;
}

} // namespace zkv
