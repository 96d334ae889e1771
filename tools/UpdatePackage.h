// The check of a downloaded client package before it is installed: only a package the service
// signed, naming this client, newer than this build.
//
// The service publishes beside every package NAME.deb a detached OpenPGP signature NAME.deb.sig
// (binary or ASCII-armoured). The package ships the service's public keyring (a binary OpenPGP
// keyring) as share/zelkova-user-client/update-keyring.gpg. A check
//   1. opens the package and its signature without following a symbolic link and without
//      blocking (O_NOFOLLOW | O_NONBLOCK), requires regular files within their bounds, and
//      copies both into a private directory that only the caller can write (root's, when the
//      check runs as root);
//   2. verifies the copy with gpgv against the keyring (the signer is the primary key's
//      fingerprint from gpgv's VALIDSIG status);
//   3. reads Package and Version from the verified copy with dpkg-deb;
//   4. requires the client's package name and a version newer than this build's, compared by
//      dpkg --compare-versions.
// Every outside program runs by its absolute path, without a shell, with a fixed environment,
// its output bounded and its run time limited.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zkv {

inline constexpr const char* kClientPackageName = "zelkova-user-client";
inline constexpr const char* kUpdateKeyringFileName = "update-keyring.gpg";
inline constexpr const char* kSignatureSuffix = ".sig";
inline constexpr std::size_t kMaxPackageBytes = 512ull * 1024 * 1024;
inline constexpr std::size_t kMaxSignatureBytes = 64 * 1024;
inline constexpr std::size_t kMaxKeyringBytes = 1024 * 1024;

// The log line of a client built without the service's keyring.
inline constexpr const char* kUpdCannotVerify =
    "Updates cannot be verified: this installation holds no update key.";

struct UpdateVerdict {
    bool ok = false;
    std::string package; // the Debian fields, empty when not read
    std::string version;
    std::string signer; // the signing key's fingerprint, empty when none verified
    std::string reason; // empty when ok
    // One line of JSON: {"ok":..,"package":..,"version":..,"signer":..,"reason":..}.
    std::string Json() const;
};

struct UpdateCheckOptions {
    std::filesystem::path keyring; // the binary OpenPGP keyring
    std::string packageName = kClientPackageName;
    std::string builtVersion; // this build's Debian version
    std::size_t maxPackageBytes = kMaxPackageBytes;
};

// A directory made with mkdtemp (mode 0700, owned by the caller) under /var/tmp when the
// caller is root, else under $TMPDIR or /tmp; removed with its contents when the object goes.
class PrivateDirectory {
public:
    PrivateDirectory();
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;
    bool Ok() const { return !path_.empty(); }
    const std::filesystem::path& Path() const { return path_; }
    const std::string& Error() const { return error_; }

private:
    std::filesystem::path path_;
    std::string error_;
};

// Copies `from` into `to` (created, must not exist): `from` is opened without following a link
// or blocking, must be a regular file of at most `maxBytes`. Returns an empty string on
// success, else the reason.
std::string CopyRegularFile(const std::filesystem::path& from, const std::filesystem::path& to,
                            std::size_t maxBytes);

// Checks `package` and `package`.sig as described above, inside `work` (a PrivateDirectory's
// path). The verified copy is `work`/package.deb.
UpdateVerdict CheckUpdatePackage(const std::filesystem::path& package,
                                 const UpdateCheckOptions& options,
                                 const std::filesystem::path& work);

// The shipped keyring beside a program in DIR/bin: DIR/share/zelkova-user-client/
// update-keyring.gpg; nullopt when there is none.
std::optional<std::filesystem::path> ShippedUpdateKeyring(const std::filesystem::path& programDir);

// This build's Debian version (the package's Version field).
std::string BuiltPackageVersion();

// Runs `argv` (argv[0] an absolute path) with `env` as its whole environment, standard input
// from /dev/null, standard output captured up to `maxOutput` bytes (more is a failure) unless
// `inheritOutput`, standard error discarded unless `inheritOutput`. Killed after
// `timeoutSeconds`. Returns the exit status, or -1 when it did not start, did not exit
// normally, ran too long or wrote too much (`error` says which).
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               int timeoutSeconds, std::string* output, std::size_t maxOutput, bool inheritOutput,
               std::string* error);

} // namespace zkv
