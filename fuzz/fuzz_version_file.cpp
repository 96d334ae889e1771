// The version file of the update check: splitting it, comparing its version with the running
// one, and taking the installer's name from its address.
#include "tools/VersionUpdate.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const zkv::VersionFile v = zkv::ParseVersionFile({data, size});
    if (v.version.size() > size || v.url.size() > size)
        std::abort();
    for (const std::string& part : {v.version, v.url})
        for (char c : part)
            if (static_cast<unsigned char>(c) < 32)
                std::abort(); // control bytes separate the items, never belong to one
    zkv::CompareVersion(v.version, {1, 9, 5});
    if (const auto name = zkv::InstallerFileName(v.url)) {
        if (name->empty() || name->size() > zkv::kMaxInstallerNameLength || name->front() == '.' ||
            name->find('/') != std::string::npos || name->size() < 5 ||
            name->compare(name->size() - 4, 4, ".deb") != 0)
            std::abort();
    }
    zkv::TransferPercent(size, static_cast<std::int64_t>(v.url.size()) - 1);
    return 0;
}
