#include "protocol/Vocabulary.h"

#include <array>
#include <string_view>

namespace zkv {
namespace {

constexpr std::array<std::string_view, 4> kPacketKindNames = {"COMMAND_PACKET", "REPLY_PACKET",
                                                              "PING_PACKET", "CHAT_PACKET"};

constexpr std::array<std::string_view, 11> kRoleNames = {
    "UNKNOWN",  "DOORKEEPER", "CLIENT",   "TECH",       "ADMIN",    "SERVER",
    "NODE MGR", "AUTOMAT",    "AUTOTECH", "LOCAL USER", "ADVCLIENT"};

constexpr std::array<std::string_view, 4> kDeliveryNames = {"FOR_ALL", "FOR_ONE", "FOR_ADMIN",
                                                            "FOR_USER"};

constexpr std::array<std::string_view, 4> kReplyStatusNames = {"NO REPLY", "COMMAND OK",
                                                               "UNKNOWN COMMAND", "COMMAND ERROR"};

constexpr std::array<const char*, kCommandCount> kCommandNames = {
    "CMD_NO_OPERATION",
    "CMD_SHOW_LOG",
    "CMD_LET_ME_CONNECT",
    "CMD_DELETE_USER",
    "CMD_GET_SERVICE_LIST",
    "CMD_CREATE_SEANS",
    "CMD_DELETE_SEANS",
    "CMD_START_SEANS",
    "CMD_GET_USER_LIST",
    "CMD_CREATE_NODE",
    "CMD_APPEND_TO_NODE",
    "CMD_LET_ME_APPEND",
    "CMD_DISCONNECT_FROM_NODE",
    "CMD_DISCONNECT",
    "CMD_START_CHAT",
    "CMD_CLOSE_CHAT",
    "CMD_SET_ADMIN",
    "CMD_GET_ALL_ID",
    "CMD_ADD_MSG_TO_CONTAINER",
    "CMD_GET_MESSAGE",
    "CMD_SHOW_CHAT",
    "CMD_ATA_COMMAND",
    "CMD_ATA_GET_STATUS",
    "CMD_ATA_RESET",
    "CMD_RING_CHAT",
    "CMD_GET_IDE_LIST",
    "CMD_ENABLE_IDE",
    "CMD_DISABLE_IDE",
    "CMD_REBOOT",
    "CMD_SERVER_RESTART",
    "CMD_SERVER_REBOOT",
    "CMD_SERVER_LOG",
    "CMD_SERVER_USERS",
    "CMD_SERVER_SETTINGS",
    "CMD_SERVER_FILES",
    "CMD_SCAN_SURFACE",
    "CMD_SHOW_SCAN",
    "CMD_DISPLAY_MESSAGE",
    "CMD_UPDATE_ORDER",
    "CMD_SQL_SELECT",
    "CMD_DDL_SELECT",
    "CMD_COMPORT_GET_LIST",
    "CMD_COMPORT_SET_PARAM",
    "CMD_COMPORT_DO_COMMAND",
    "CMD_COMPORT_SHOW_DATA",
    "CMD_COMPORT_SET_BAUD",
    "CMD_COMPORT_WRITE_BUFFER",
    "CMD_COMPORT_WRITE_DATA",
    "CMD_SET_KEY",
    "CMD_SHOW_WIZARD_FORM",
    "CMD_LOAD_DLL",
    "CMD_UNLOAD_DLL",
    "CMD_SHUTDOWN",
};

constexpr std::array<const char*, kErrorCount> kErrorNames = {
    "OK",
    "ERROR",
    "NO ATA DEVICE",
    "DEVICE ERROR",
    "DEVICE BUSY",
    "BUS BUSY",
    "TIMEOUT ERROR",
    "ABORT",
    "NO MEMORY",
    "IDLE TIMEOUT ERROR",
    "NO EXE FILE",
    "CAN NOT CRATE SEANS",
    "BAD VERSION",
    "CAN NOT OPEN INI FILE",
    "CAN NOT CONNECT TO BASE",
    "USER NOT IN BASE",
    "MANY USERS IN BASE",
    "NO ORDER IN BASE",
    "MANY ORDER IN BASE",
    "ORDER IS CLOSED OK",
    "ORDER IS CLOSED IMPOSSIBLE",
    "OUT OF DATE",
    "CANCEL",
    "ACCESS DISABLED",
    "CLOSE SEANS",
    "ABORT SEANS",
    "BAD CRC",
    "EXCEPTION",
    "NO FILE",
    "SESSION TIMEOUT",
};

template <class Table>
std::string Lookup(const Table& table, std::int64_t value, std::int64_t first,
                   std::string_view what) {
    std::int64_t index = value - first;
    if (index >= 0 && index < static_cast<std::int64_t>(table.size()))
        return std::string(table[static_cast<std::size_t>(index)]);
    return "<" + std::string(what) + " " + std::to_string(value) + ">";
}

} // namespace

std::string PacketKindName(std::int64_t v) {
    return Lookup(kPacketKindNames, v, 0, "kind");
}
std::string RoleName(std::int64_t v) {
    return Lookup(kRoleNames, v, 0, "role");
}
std::string DeliveryName(std::int64_t v) {
    return Lookup(kDeliveryNames, v, 0, "delivery");
}
std::string ReplyStatusName(std::int64_t v) {
    return Lookup(kReplyStatusNames, v, NO_REPLY, "status");
}
std::string CommandName(std::int64_t v) {
    return Lookup(kCommandNames, v, 0, "command");
}
std::string ErrorName(std::int64_t v) {
    return Lookup(kErrorNames, v, 0, "error");
}

const char* CommandNameOrNull(std::int64_t v) {
    return v >= 0 && v < kCommandCount ? kCommandNames[static_cast<std::size_t>(v)] : nullptr;
}
const char* ErrorNameOrNull(std::int64_t v) {
    return v >= 0 && v < kErrorCount ? kErrorNames[static_cast<std::size_t>(v)] : nullptr;
}

} // namespace zkv
