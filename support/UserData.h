// The user's login data and connection settings, and user.dat, the file that keeps them.
//
// user.dat is a text file of exactly 14 lines, each ended by CR LF, no header, no quoting:
//    1 user name        2 e-mail address     3 password (decimal digits)   4 country code
//    5 order number     6 use proxy "1"/"0"  7 resolve host through proxy "1"/"0"
//    8 server host      9 proxy host        10 proxy user name            11 proxy password
//   12 server port     13 proxy port        14 proxy kind: SOCKS_4, SOCKS_4A, SOCKS_5, HTTP_PROXY
// It holds the proxy password in plain text, so it is written with mode 0600.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace zkv {

// Position of "United States" in the service's list of country names; the only country code
// the client ever sends.
inline constexpr std::int32_t kCountryCodeUnitedStates = 189;

// Values the login dialog puts into every confirmed login.
inline constexpr const char* kDialogUserName = "NoName";
inline constexpr const char* kDialogPassword = "482916";

struct UserInfo {
    std::string userName;
    std::string email;
    std::string password;
    std::int32_t countryCode = kCountryCodeUnitedStates;
    std::int32_t orderNumber = 0;
    // Program version, filled at start-up.
    std::int32_t versionMajor = 0;
    std::int32_t versionMinor = 0;
    std::int32_t versionRelease = 0;
    std::int32_t versionBuild = 0;
};

enum class TPROXYVersion : std::uint8_t {
    SOCKS_4 = 0,
    SOCKS_4A = 1,
    SOCKS_5 = 2,
    HTTP_PROXY = 3,
};
// "SOCKS_4", "SOCKS_4A", "SOCKS_5", "HTTP_PROXY".
const char* ProxyVersionName(TPROXYVersion v);

struct ProxySetting {
    bool useProxy = false;
    bool resolveHostThroughProxy = false;
    std::string serverHost;
    std::string proxyHost;
    std::string proxyUserName;
    std::string proxyPassword;
    std::int32_t serverPort = 0;
    std::int32_t proxyPort = 0;
    TPROXYVersion proxyKind = TPROXYVersion::SOCKS_4;
    std::string unused; // kept for the record's shape; never read or written to user.dat
};

// Assigns the defaults of a missing or damaged user.dat to every field except the password
// (which keeps its value) and the program version (not part of the file).
void ApplyUserDataDefaults(UserInfo& user, ProxySetting& proxy);

// Reads user.dat into the records. Lines are taken in order; line 3 is converted to an integer
// and back (000123 becomes 123); line 14 must match a proxy kind name exactly, or the kind keeps
// its current value. If anything fails (no file, fewer than 14 lines, a numeric line that does
// not convert) every field except the password is set to its default, whatever had already been
// read, and false is returned. Line ends may be CR LF, LF or CR.
bool LoadUserData(const std::filesystem::path& file, UserInfo& user, ProxySetting& proxy);

// The 14 lines, CR LF ended. Line breaks inside a text field are removed, since they would
// shift every following line.
std::string UserDataText(const UserInfo& user, const ProxySetting& proxy);

// Replaces user.dat atomically with mode 0600. Returns false (and sets `error`) on failure;
// the previous file is then untouched.
bool SaveUserData(const std::filesystem::path& file, const UserInfo& user,
                  const ProxySetting& proxy, std::string* error = nullptr);

// Integer conversion as user.dat and the settings files use it: optional leading blanks, an
// optional sign, decimal digits, within 32 bits; nothing may follow.
bool ParseInt32(std::string_view text, std::int32_t& out);

} // namespace zkv
