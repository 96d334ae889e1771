// Throwaway OpenPGP keys and real Debian packages for the update tests: gpg makes an ed25519
// key in a private home, dpkg-deb builds the packages. Nothing here touches the caller's
// keyrings.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace zkv::test {

inline bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class SigningKey {
public:
    // A new key in `dir` (created); its public half exported as a binary keyring.
    explicit SigningKey(const std::filesystem::path& dir) : home_(dir / "gnupg") {
        std::filesystem::create_directories(home_);
        std::filesystem::permissions(home_, std::filesystem::perms::owner_all);
        ok_ = Shell(Gpg() + "--passphrase '' --pinentry-mode loopback --quick-gen-key "
                            "'Update Test <update@example.org>' ed25519 sign never") &&
              Shell(Gpg() + "--export --output '" + Keyring().string() + "'");
    }
    bool Ok() const { return ok_; }
    std::filesystem::path Keyring() const { return home_.parent_path() / "keyring.gpg"; }
    // Writes FILE.sig, binary or ASCII-armoured.
    bool Sign(const std::filesystem::path& file, bool armour = false) const {
        return Shell(Gpg() + (armour ? "--armor " : "") + "--yes --detach-sign --output '" +
                     file.string() + ".sig' '" + file.string() + "'");
    }

private:
    std::string Gpg() const { return "GNUPGHOME='" + home_.string() + "' gpg --batch --quiet "; }
    std::filesystem::path home_;
    bool ok_ = false;
};

// Builds `out` with dpkg-deb: a package of that name and version holding one file.
inline bool BuildPackage(const std::filesystem::path& out, const std::string& name,
                         const std::string& version) {
    const std::filesystem::path tree = out.string() + ".tree";
    std::filesystem::create_directories(tree / "DEBIAN");
    std::filesystem::create_directories(tree / "usr/share/doc" / name);
    std::ofstream(tree / "DEBIAN/control")
        << "Package: " << name << "\nVersion: " << version
        << "\nArchitecture: all\nMaintainer: Update Test <update@example.org>\n"
           "Description: a package of the update tests\n";
    std::ofstream(tree / "usr/share/doc" / name / "README") << "version " << version << "\n";
    return Shell("dpkg-deb --root-owner-group -b '" + tree.string() + "' '" + out.string() +
                 "' >/dev/null");
}

} // namespace zkv::test
