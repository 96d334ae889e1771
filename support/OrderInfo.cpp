#include "support/OrderInfo.h"

#include "support/ByteOrder.h"

#include <chrono>
#include <ctime>

namespace zkv {

double NowAsDateTime() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&t, &local);
    double seconds = static_cast<double>(t) + static_cast<double>(local.tm_gmtoff);
    // 25569 days separate 1899-12-30 from 1970-01-01.
    return 25569.0 + seconds / 86400.0;
}

static std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty())
        return out;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        out.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

static std::string JoinCommas(const std::vector<std::string>& items) {
    std::string s;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i)
            s += ',';
        s += items[i];
    }
    return s;
}

void OrderInfo::Reset() {
    number = 0;
    kept.fill(0);
    registered = NowAsDateTime();
    model.clear();
    serial.clear();
    manufactured.clear();
    list1.clear();
    list2.clear();
}

bool OrderInfo::Parse(std::span<const std::uint8_t> data, std::size_t& pos) {
    ByteReader r(data, pos);
    OrderInfo o;
    std::string l1, l2;
    bool ok = pos <= data.size() && r.I32(o.number);
    for (auto& k : o.kept)
        ok = ok && r.I32(k);
    ok = ok && r.F64(o.registered) && r.FixedText(kModelWidth, o.model) &&
         r.FixedText(kSerialWidth, o.serial) && r.FixedText(kDateWidth, o.manufactured) &&
         r.ZText(l1) && r.ZText(l2);
    if (!ok) {
        Reset();
        return false;
    }
    o.list1 = SplitCommas(l1);
    o.list2 = SplitCommas(l2);
    *this = std::move(o);
    pos = r.Position();
    return true;
}

static void PutFixedText(std::vector<std::uint8_t>& out, const std::string& s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        out.push_back(i + 1 < width && i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0);
}

std::vector<std::uint8_t> OrderInfo::Serialize() const {
    std::vector<std::uint8_t> out;
    ByteWriter w(out);
    w.I32(number);
    for (auto k : kept)
        w.I32(k);
    w.F64(registered);
    PutFixedText(out, model, kModelWidth);
    PutFixedText(out, serial, kSerialWidth);
    PutFixedText(out, manufactured, kDateWidth);
    w.Bytes(JoinCommas(list1));
    w.U8(0);
    w.Bytes(JoinCommas(list2));
    w.U8(0);
    return out;
}

} // namespace zkv
