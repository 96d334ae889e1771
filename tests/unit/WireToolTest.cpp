#include "programs/wire/WireTool.h"
#include "protocol/PacketJson.h"

#include <gtest/gtest.h>

#include <sstream>

namespace zkv {
namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

Result Wire(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int rc = wiretool::Run(args, in, out, err);
    return {rc, out.str(), err.str()};
}

std::vector<Json> Lines(const std::string& text) {
    std::vector<Json> v;
    std::istringstream s(text);
    std::string line;
    while (std::getline(s, line))
        v.push_back(Json::parse(line));
    return v;
}

const std::string kScript =
    R"({"header":{"sender_role":2,"addressee_role":5,"kind":0,"reserved":4294967295,"sender_id":-7,"partner_id":12,"delivery":1,"destination_id":99,"flags":8,"exchange_id":3000000000},"items":[{"code":2,"flags":1,"echo":5,"data":"00ff10"},{"code":48,"data":""}]})"
    "\n"
    R"({"keepalive":true})"
    "\n"
    R"({"header":{"kind":1},"items":[{"code":4097,"flags":2,"reserved":1}]})"
    "\n";

TEST(WireTool, EncodeThenDecodeGivesBackEveryField) {
    Result enc = Wire({"encode"}, kScript);
    ASSERT_EQ(enc.rc, 0) << enc.err;
    Result dec = Wire({"decode"}, enc.out);
    ASSERT_EQ(dec.rc, 0) << dec.err;
    auto lines = Lines(dec.out);
    ASSERT_EQ(lines.size(), 3u);
    const Json& h = lines[0]["header"];
    EXPECT_EQ(lines[0]["offset"], 0);
    EXPECT_EQ(h["sender_role"], 2);
    EXPECT_EQ(h["reserved"], 4294967295u);
    EXPECT_EQ(h["sender_id"], -7);
    EXPECT_EQ(h["partner_id"], 12);
    EXPECT_EQ(h["destination_id"], 99);
    EXPECT_EQ(h["flags"], 8);
    EXPECT_EQ(h["exchange_id"], 3000000000u);
    EXPECT_EQ(h["plain_length"], 4 + 23 + 20);
    EXPECT_EQ(h["wire_length"].get<int>() % 8, 0);
    const Json& items = lines[0]["items"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["name"], "CMD_LET_ME_CONNECT");
    EXPECT_EQ(items[0]["data"], "00ff10");
    EXPECT_EQ(items[0]["data_length"], 3);
    EXPECT_EQ(items[0]["echo"], 5);
    EXPECT_EQ(items[1]["name"], "CMD_SET_KEY");
    EXPECT_EQ(lines[1]["keepalive"], true);
    EXPECT_EQ(lines[1]["offset"], 53 + h["wire_length"].get<int>());
    EXPECT_EQ(lines[2]["items"][0]["name"], "COMMAND OK");
    EXPECT_EQ(lines[2]["items"][0]["reserved"], 1);

    // Re-encoding the decoder's own output writes the same bytes.
    Result again = Wire({"encode"}, dec.out);
    ASSERT_EQ(again.rc, 0) << again.err;
    EXPECT_EQ(again.out, enc.out);
}

TEST(WireTool, FlippedHeaderBitIsABadHeaderAndTheNextHeaderIsRead) {
    const std::string stream =
        Wire({"encode"}, "{\"keepalive\":true}\n{\"items\":[{\"code\":0,\"flags\":1}]}\n").out;
    ASSERT_GT(stream.size(), 106u);
    for (std::size_t bit = 0; bit < 53 * 8; ++bit) {
        std::string bad = stream;
        bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
        Result dec = Wire({"decode"}, bad);
        EXPECT_EQ(dec.rc, 1);
        auto lines = Lines(dec.out);
        ASSERT_EQ(lines.size(), 2u) << bit;
        EXPECT_EQ(lines[0].dump(), R"({"offset":0,"bad_header":true})");
        EXPECT_EQ(lines[1]["offset"], 53);
        EXPECT_EQ(lines[1]["items"][0]["name"], "CMD_NO_OPERATION");
    }
}

TEST(WireTool, OtherKeyTruncationAndUsage) {
    std::string key(112, '0');
    key[1] = '1';
    Result enc =
        Wire({"encode", "--key", key}, "{\"items\":[{\"code\":1,\"data\":\"41424300\"}]}\n");
    ASSERT_EQ(enc.rc, 0);
    Result dec = Wire({"decode"}, enc.out);
    EXPECT_EQ(dec.rc, 1);
    auto lines = Lines(dec.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].contains("error"));
    EXPECT_TRUE(lines[0].contains("header"));
    EXPECT_FALSE(lines[0].contains("items"));
    EXPECT_EQ(Wire({"decode", "--key", key}, enc.out).rc, 0);

    Result cut = Wire({"decode", "--key", key}, enc.out.substr(0, enc.out.size() - 1));
    EXPECT_EQ(cut.rc, 1);
    EXPECT_EQ(cut.out, "{\"offset\":0,\"truncated\":true}\n");
    Result cutHeader = Wire({"decode"}, enc.out.substr(0, 52));
    EXPECT_EQ(cutHeader.out, "{\"offset\":0,\"truncated\":true}\n");
    EXPECT_EQ(Wire({"decode"}, "").rc, 0);

    EXPECT_EQ(Wire({}).rc, 2);
    EXPECT_EQ(Wire({"frobnicate"}).rc, 2);
    EXPECT_EQ(Wire({"decode", "--key", "abc"}).rc, 2);
    EXPECT_EQ(Wire({"decode", "--key", std::string(112, 'g')}).rc, 2);
    EXPECT_EQ(Wire({"decode", "/nonexistent/file"}).rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{not json}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"items\":[{\"code\":\"x\"}]}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"items\":[{\"data\":\"abc\"}]}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"header\":{\"kind\":256}}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"offset\":0,\"bad_header\":true}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"keepalive\":{\"flags\":8}}\n").rc, 2);
    EXPECT_EQ(Wire({"encode"}, "{\"keepalive\":1}\n").rc, 2);
    Result key1 = Wire({"builtin-key"});
    EXPECT_EQ(key1.rc, 0);
    EXPECT_EQ(key1.out.size(), 113u);
    EXPECT_EQ(key1.out.back(), '\n');
}

} // namespace
} // namespace zkv
