// Holds a block device open with O_EXCL, as a program that owns the disk would, through whatever
// node it is given: hold-exclusive NODE SECONDS. Prints "held" once the open succeeded and keeps
// the device for at most SECONDS (or until it is killed).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold-exclusive NODE SECONDS\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
        std::printf("refused %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    long seconds = std::strtol(argv[2], nullptr, 10);
    if (seconds < 1 || seconds > 600)
        seconds = 60;
    ::sleep(static_cast<unsigned>(seconds));
    ::close(fd);
    return 0;
}
