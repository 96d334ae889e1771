#include "support/Base.h"
#include "support/ByteOrder.h"
#include "support/ClientLog.h"
#include "support/OrderInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace zkv {
namespace {

// A small record of the kind the wizard and controller records are.
class TSample : public TBase {
public:
    TSample() { className_ = "TSample"; }
    std::int32_t number = 0;
    std::string text;
    std::uint8_t flag = 0;

protected:
    void WriteFields(TMemoryStream& s) override {
        WriteInt(s, number);
        WriteText(s, text);
        WriteByte(s, flag);
    }
    void ReadFields(TMemoryStream& s) override {
        number = ReadInt(s);
        text = ReadText(s);
        flag = ReadByte(s);
    }
    void DumpFields(std::vector<std::string>& lines) override {
        lines.push_back(DumpLine("Number", std::to_string(number)));
        lines.push_back(DumpLine("Text", text));
    }
};

TEST(TBase, StreamLayoutRoundTripAndDump) {
    TSample a;
    a.number = -2;
    a.text = "";
    a.flag = 9;
    TMemoryStream s;
    ASSERT_EQ(a.WriteToStream(s), 0);
    // version 1, "TSample", -2, empty text as four zero bytes, flag
    const std::vector<std::uint8_t> expect = {1,    0,    0,    0,   7,   0,   0,   0,
                                              'T',  'S',  'a',  'm', 'p', 'l', 'e', 0xFE,
                                              0xFF, 0xFF, 0xFF, 0,   0,   0,   0,   9};
    EXPECT_EQ(s.Bytes(), expect);

    a.text = "hello";
    TMemoryStream s2;
    a.WriteToStream(s2);
    s2.Seek(0);
    TSample b;
    ASSERT_EQ(b.ReadFromStream(s2), 0);
    EXPECT_EQ(b.number, -2);
    EXPECT_EQ(b.text, "hello");
    EXPECT_EQ(b.flag, 9);

    std::vector<std::string> lines;
    ASSERT_EQ(b.Dump(lines), 0);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Class Name:             TSample");
    EXPECT_EQ(lines[1], "Version:                1");
    EXPECT_EQ(lines[3], "Text:                   hello");
}

TEST(TBase, HeaderMismatchAndBadStreamsAreReadErrors) {
    auto streamWith = [](std::int32_t version, const std::string& name) {
        TMemoryStream s;
        std::uint8_t b[4];
        PutI32(b, version);
        s.Write(b, 4);
        PutI32(b, static_cast<std::int32_t>(name.size()));
        s.Write(b, 4);
        s.Write(name.data(), name.size());
        s.Seek(0);
        return s;
    };
    TSample r;
    auto wrongName = streamWith(1, "TBase");
    EXPECT_EQ(r.ReadFromStream(wrongName), 1);
    auto wrongCase = streamWith(1, "tsample");
    EXPECT_EQ(r.ReadFromStream(wrongCase), 1);
    auto wrongVersion = streamWith(2, "TSample");
    EXPECT_EQ(r.ReadFromStream(wrongVersion), 1);

    // Header fine, fields missing.
    auto truncated = streamWith(1, "TSample");
    EXPECT_EQ(r.ReadFromStream(truncated), 1);

    // A text length beyond what the stream holds is refused without allocating it.
    TSample big;
    big.text = "abc";
    TMemoryStream s;
    big.WriteToStream(s);
    std::vector<std::uint8_t> bytes = s.Bytes();
    PutI32(bytes.data() + 4 + 4 + 7 + 4, 0x7FFFFFFF);
    TMemoryStream lying(bytes);
    EXPECT_EQ(r.ReadFromStream(lying), 1);
    PutI32(bytes.data() + 4 + 4 + 7 + 4, -1);
    TMemoryStream negative(bytes);
    EXPECT_EQ(r.ReadFromStream(negative), 1);
    PutI32(bytes.data() + 4, 0x40000000); // class-name length
    TMemoryStream hugeName(bytes);
    EXPECT_EQ(r.ReadFromStream(hugeName), 1);
}

TEST(OrderInfo, ParsesAdvancesAndResetsOnShortBlocks) {
    OrderInfo o;
    o.number = 1234;
    o.kept = {1, 2, 3, 4, 5};
    o.registered = 45000.75;
    o.model = "WDC WD800BB-00CAA1";
    o.serial = "WD-WMA8E1234567";
    o.manufactured = "2003-05-01";
    o.list1 = {"a", "bb", ""};
    o.list2 = {};
    auto block = o.Serialize();
    EXPECT_EQ(block.size(), 103u + 5 + 0); // "a,bb,"
    EXPECT_EQ(GetI32(block.data()), 1234);
    EXPECT_EQ(block[32], 'W');
    EXPECT_EQ(block[73], 'W');

    std::vector<std::uint8_t> data(block.size() + 3, 0);
    data[0] = 0xAA;
    data[1] = 0xBB;
    std::copy(block.begin(), block.end(), data.begin() + 2);
    data.back() = 0xCC;
    std::size_t pos = 2;
    OrderInfo p;
    ASSERT_TRUE(p.Parse(data, pos));
    EXPECT_EQ(pos, data.size() - 1);
    EXPECT_EQ(p.number, 1234);
    EXPECT_EQ(p.kept[4], 5);
    EXPECT_DOUBLE_EQ(p.registered, 45000.75);
    EXPECT_EQ(p.model, o.model);
    EXPECT_EQ(p.serial, o.serial);
    EXPECT_EQ(p.manufactured, o.manufactured);
    EXPECT_EQ(p.list1, (std::vector<std::string>{"a", "bb", ""}));
    EXPECT_TRUE(p.list2.empty());

    OrderInfo empty;
    empty.number = 5;
    EXPECT_EQ(empty.Serialize().size(), 103u);

    // Every cut of the block fails and resets the record.
    for (std::size_t cut = 0; cut < block.size(); ++cut) {
        std::vector<std::uint8_t> shortBlock(block.begin(), block.begin() + static_cast<long>(cut));
        std::size_t at = 0;
        OrderInfo q;
        q.number = 99;
        ASSERT_FALSE(q.Parse(shortBlock, at)) << cut;
        EXPECT_EQ(at, 0u);
        EXPECT_EQ(q.number, 0);
        EXPECT_TRUE(q.model.empty());
        EXPECT_GT(q.registered, 40000.0); // "now"
    }
    // A fixed text field that fills its whole width without a terminator stays inside it.
    std::vector<std::uint8_t> full = block;
    std::memset(full.data() + 32, 'M', 41);
    std::size_t at = 0;
    ASSERT_TRUE(p.Parse(full, at));
    EXPECT_EQ(p.model, std::string(41, 'M'));
}

TEST(CClientLog, RunsFoldEqualValuesAndOpenNewElementsOnChange) {
    std::uint8_t buf[10240];
    CClientLog log;
    log.Attach(buf, sizeof buf);
    for (int i = 0; i < 1000; ++i)
        log.AddValue8("SR", 0x50);
    EXPECT_EQ(log.BytesUsed(), 1u + 3 + 4 + 1);
    EXPECT_EQ(buf[0], CClientLog::kText8);
    EXPECT_EQ(std::memcmp(buf + 1, "SR\0", 3), 0);
    EXPECT_EQ(GetU32(buf + 4), 1000u);
    EXPECT_EQ(buf[8], 0x50);

    log.Attach(buf, sizeof buf);
    log.AddValue8("SR", 0x50);
    log.AddValue8("SR", 0x58);
    log.AddValue8("SR", 0x50);
    ASSERT_EQ(log.BytesUsed(), 9u + 6 + 6);
    EXPECT_EQ(buf[9], CClientLog::kRun8);
    EXPECT_EQ(GetU32(buf + 10), 1u);
    EXPECT_EQ(buf[14], 0x58);
    EXPECT_EQ(buf[15], CClientLog::kRun8);
    EXPECT_EQ(buf[20], 0x50);

    // Text closes the run; a 16-bit entry opens a new one.
    log.AddText("CMD");
    log.AddValue16("DATA", 0xBEEF);
    log.AddValue16("DATA", 0xBEEF);
    log.AddValue16("DATA", 0x1234);
    std::uint32_t at = 21;
    EXPECT_EQ(buf[at], CClientLog::kText);
    EXPECT_EQ(std::memcmp(buf + at + 1, "CMD\0", 4), 0);
    at += 5;
    EXPECT_EQ(buf[at], CClientLog::kText16);
    EXPECT_EQ(GetU32(buf + at + 6), 2u);
    EXPECT_EQ(GetU16(buf + at + 10), 0xBEEF);
    at += 12;
    EXPECT_EQ(buf[at], CClientLog::kRun16);
    EXPECT_EQ(GetU16(buf + at + 5), 0x1234);
    EXPECT_EQ(log.BytesUsed(), at + 7);

    // Mixing widths while a run is open starts a fresh element.
    log.AddValue8("ER", 0x04);
    EXPECT_EQ(buf[at + 7], CClientLog::kText8);
}

TEST(CClientLog, EntriesThatDoNotFitAreDroppedAndEarlierContentKept) {
    std::uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    CClientLog log;
    log.Attach(buf, 12);
    log.AddText("0123456789"); // needs exactly 12
    EXPECT_EQ(log.BytesUsed(), 12u);
    log.AddText("x");
    log.AddValue8("SR", 1);
    EXPECT_EQ(log.BytesUsed(), 12u);
    EXPECT_EQ(buf[12], 0xEE);

    std::memset(buf, 0xEE, sizeof buf);
    log.Attach(buf, 12);
    log.AddValue8("SR", 1); // 9 bytes
    log.AddValue8("SR", 1); // folds, no space needed
    log.AddValue8("SR", 2); // needs 6 more: dropped
    EXPECT_EQ(log.BytesUsed(), 9u);
    EXPECT_EQ(GetU32(buf + 4), 2u);
    EXPECT_EQ(buf[9], 0xEE);

    CClientLog none;
    none.Attach(nullptr, 100);
    none.AddText("ignored");
    none.AddValue16("x", 3);
    EXPECT_EQ(none.BytesUsed(), 0u);
}

} // namespace
} // namespace zkv
