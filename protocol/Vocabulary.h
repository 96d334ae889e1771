// The numbered enumerations every party of the service shares, and their name tables.
//
// The numbers travel on the wire and are fixed; the names are also the texts the program prints.
// A lookup of a value outside its range gives a placeholder such as "<command 99>".
#pragma once

#include <cstdint>
#include <string>

namespace zkv {

enum PacketKind : std::uint8_t {
    COMMAND_PACKET = 0,
    REPLY_PACKET = 1,
    PING_PACKET = 2,
    CHAT_PACKET = 3,
};

enum class Role : std::uint8_t {
    UNKNOWN = 0,
    DOORKEEPER = 1,
    CLIENT = 2,
    TECH = 3,
    ADMIN = 4,
    SERVER = 5,
    NODE_MGR = 6,
    AUTOMAT = 7,
    AUTOTECH = 8,
    LOCAL_USER = 9,
    ADVCLIENT = 10,
};

enum Delivery : std::int32_t {
    FOR_ALL = 0,
    FOR_ONE = 1,
    FOR_ADMIN = 2,
    FOR_USER = 3,
};

enum ReplyStatus : std::int32_t {
    NO_REPLY = 0x1000,
    COMMAND_OK = 0x1001,
    UNKNOWN_COMMAND = 0x1002,
    COMMAND_ERROR = 0x1003,
};

enum CommandCode : std::int32_t {
    CMD_NO_OPERATION = 0,
    CMD_SHOW_LOG,
    CMD_LET_ME_CONNECT,
    CMD_DELETE_USER,
    CMD_GET_SERVICE_LIST,
    CMD_CREATE_SEANS,
    CMD_DELETE_SEANS,
    CMD_START_SEANS,
    CMD_GET_USER_LIST,
    CMD_CREATE_NODE,
    CMD_APPEND_TO_NODE,
    CMD_LET_ME_APPEND,
    CMD_DISCONNECT_FROM_NODE,
    CMD_DISCONNECT,
    CMD_START_CHAT,
    CMD_CLOSE_CHAT,
    CMD_SET_ADMIN,
    CMD_GET_ALL_ID,
    CMD_ADD_MSG_TO_CONTAINER,
    CMD_GET_MESSAGE,
    CMD_SHOW_CHAT,
    CMD_ATA_COMMAND,
    CMD_ATA_GET_STATUS,
    CMD_ATA_RESET,
    CMD_RING_CHAT,
    CMD_GET_IDE_LIST,
    CMD_ENABLE_IDE,
    CMD_DISABLE_IDE,
    CMD_REBOOT,
    CMD_SERVER_RESTART,
    CMD_SERVER_REBOOT,
    CMD_SERVER_LOG,
    CMD_SERVER_USERS,
    CMD_SERVER_SETTINGS,
    CMD_SERVER_FILES,
    CMD_SCAN_SURFACE,
    CMD_SHOW_SCAN,
    CMD_DISPLAY_MESSAGE,
    CMD_UPDATE_ORDER,
    CMD_SQL_SELECT,
    CMD_DDL_SELECT,
    CMD_COMPORT_GET_LIST,
    CMD_COMPORT_SET_PARAM,
    CMD_COMPORT_DO_COMMAND,
    CMD_COMPORT_SHOW_DATA,
    CMD_COMPORT_SET_BAUD,
    CMD_COMPORT_WRITE_BUFFER,
    CMD_COMPORT_WRITE_DATA,
    CMD_SET_KEY,
    CMD_SHOW_WIZARD_FORM,
    CMD_LOAD_DLL,
    CMD_UNLOAD_DLL,
    CMD_SHUTDOWN,
};
inline constexpr int kCommandCount = 53;

// Carried in the ATA command record's error field and as the login reply's result code.
enum class ErrorCode : std::int32_t {
    OK = 0,
    ERROR,
    NO_ATA_DEVICE,
    DEVICE_ERROR,
    DEVICE_BUSY,
    BUS_BUSY,
    TIMEOUT_ERROR,
    ABORT,
    NO_MEMORY,
    IDLE_TIMEOUT_ERROR,
    NO_EXE_FILE,
    CAN_NOT_CRATE_SEANS,
    BAD_VERSION,
    CAN_NOT_OPEN_INI_FILE,
    CAN_NOT_CONNECT_TO_BASE,
    USER_NOT_IN_BASE,
    MANY_USERS_IN_BASE,
    NO_ORDER_IN_BASE,
    MANY_ORDER_IN_BASE,
    ORDER_IS_CLOSED_OK,
    ORDER_IS_CLOSED_IMPOSSIBLE,
    OUT_OF_DATE,
    CANCEL,
    ACCESS_DISABLED,
    CLOSE_SEANS,
    ABORT_SEANS,
    BAD_CRC,
    EXCEPTION,
    NO_FILE,
    SESSION_TIMEOUT,
};
inline constexpr int kErrorCount = 30;

std::string PacketKindName(std::int64_t value);
std::string RoleName(std::int64_t value);
std::string DeliveryName(std::int64_t value);
std::string ReplyStatusName(std::int64_t value);
std::string CommandName(std::int64_t value);
std::string ErrorName(std::int64_t value);

// Compile-time access to the in-range names, for code that must not allocate.
const char* CommandNameOrNull(std::int64_t value);
const char* ErrorNameOrNull(std::int64_t value);

} // namespace zkv
