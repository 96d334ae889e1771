#include "protocol/Vocabulary.h"

#include <gtest/gtest.h>

namespace zkv {

TEST(Vocabulary, NamesAreExactIncludingBlanksAndOldSpelling) {
    EXPECT_EQ(ErrorName(11), "CAN NOT CRATE SEANS");
    EXPECT_EQ(RoleName(6), "NODE MGR");
    EXPECT_EQ(RoleName(9), "LOCAL USER");
    EXPECT_EQ(RoleName(2), "CLIENT");
    EXPECT_EQ(CommandName(CMD_SHUTDOWN), "CMD_SHUTDOWN");
    EXPECT_EQ(CommandName(CMD_ATA_COMMAND), "CMD_ATA_COMMAND");
    EXPECT_EQ(ReplyStatusName(0x1000), "NO REPLY");
    EXPECT_EQ(ReplyStatusName(0x1003), "COMMAND ERROR");
    EXPECT_EQ(ErrorName(29), "SESSION TIMEOUT");
    EXPECT_EQ(DeliveryName(2), "FOR_ADMIN");
    EXPECT_EQ(PacketKindName(3), "CHAT_PACKET");
}

TEST(Vocabulary, OutOfRangeGivesPlaceholderNotGarbage) {
    EXPECT_EQ(CommandName(53), "<command 53>");
    EXPECT_EQ(CommandName(-1), "<command -1>");
    EXPECT_EQ(ReplyStatusName(0x0FFF), "<status 4095>");
    EXPECT_EQ(ReplyStatusName(0x1004), "<status 4100>");
    EXPECT_EQ(ErrorName(30), "<error 30>");
    EXPECT_EQ(RoleName(11), "<role 11>");
    EXPECT_EQ(PacketKindName(4), "<kind 4>");
    EXPECT_EQ(DeliveryName(1LL << 40), "<delivery 1099511627776>");
    EXPECT_EQ(CommandNameOrNull(53), nullptr);
}

} // namespace zkv
