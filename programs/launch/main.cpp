// zelkova-user-client-launch: what the desktop entry runs; see Launcher.h.
#include "programs/launch/Launcher.h"

#include <climits>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv) {
    // The real path of this executable: pkexec matches it against the polkit action, and the
    // client is the program next to it.
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::cerr << "zelkova-user-client-launch: cannot find its own executable\n";
        return 1;
    }
    return zkv::launch::Run({argv + 1, argv + argc}, std::string(self, static_cast<size_t>(n)),
                            std::cout, std::cerr);
}
