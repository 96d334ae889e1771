// Record streams and the order block from the login reply.
#include "support/Base.h"
#include "support/OrderInfo.h"

#include <cstdlib>

namespace {
class TFuzzRecord : public zkv::TBase {
public:
    TFuzzRecord() { className_ = "TBase"; }
    std::int32_t a = 0;
    std::string b, c;
    std::uint8_t d = 0;

protected:
    void WriteFields(zkv::TMemoryStream& s) override {
        WriteInt(s, a);
        WriteText(s, b);
        WriteByte(s, d);
        WriteText(s, c);
    }
    void ReadFields(zkv::TMemoryStream& s) override {
        a = ReadInt(s);
        b = ReadText(s);
        d = ReadByte(s);
        c = ReadText(s);
    }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zkv;
    TMemoryStream s(std::vector<std::uint8_t>(data, data + size));
    TFuzzRecord r;
    if (r.ReadFromStream(s) == 0) {
        TMemoryStream out;
        if (r.WriteToStream(out) != 0 || out.Size() != s.Position())
            std::abort();
        std::vector<std::string> lines;
        r.Dump(lines);
    }
    TBase base;
    TMemoryStream s2(std::vector<std::uint8_t>(data, data + size));
    base.ReadFromStream(s2);

    OrderInfo o;
    std::size_t pos = size ? data[0] % 8 : 0;
    std::size_t before = pos;
    if (o.Parse({data, size}, pos)) {
        if (pos <= before || pos > size)
            std::abort();
    } else if (pos != before || o.number != 0) {
        std::abort();
    }
    return 0;
}
