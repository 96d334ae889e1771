#include "tools/WizFormData.h"

#include <gtest/gtest.h>

namespace zkv {
namespace {

TEST(WizFormData, StreamsDumpsAndReadsShortRecords) {
    TWizFormData w;
    w.message = "<b>Set the jumper</b>";
    w.dlgType = 2;
    w.buttons = mb::Cancel | mb::Retry;
    w.result = 5;
    w.needHelp = 1;
    w.helpLink = "https://help.example/j";
    auto bytes = w.ToBytes();

    TWizFormData r;
    ASSERT_EQ(r.ReadFromBytes(bytes), 0);
    std::vector<std::string> lines;
    r.Dump(lines);
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            "Class Name:             TWizFormData", "Version:                1",
            "Message:                <b>Set the jumper</b>", "DlgType:                Confirmation",
            "Buttons:                 Cancel Retry", "Result:                 Retry",
            "NeedHelp:               true", "HelpLink:               https://help.example/j"}));

    // dlgType 0x0102 keeps its low byte; a stream that ends after buttons keeps the defaults.
    bytes[4 + 4 + 12 + 4 + w.message.size() + 1] = 0x01;
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + 4 + 4 + 12 + 4 +
                                                     static_cast<long>(w.message.size()) + 8);
    ASSERT_EQ(r.ReadFromBytes(cut), 0);
    EXPECT_EQ(r.dlgType, 2);
    EXPECT_EQ(r.buttons, mb::Cancel | mb::Retry);
    EXPECT_EQ(r.needHelp, 0);
    EXPECT_EQ(r.helpLink, "");

    // Another class name is refused.
    auto other = bytes;
    other[8] = 'X';
    EXPECT_EQ(r.ReadFromBytes(other), 1);
}

} // namespace
} // namespace zkv
