#include "sim/SectorStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zkv {

void MemorySectorStore::Read(std::uint64_t lba, std::uint8_t* out) {
    auto it = sectors_.find(lba);
    if (it == sectors_.end())
        std::memset(out, 0, 512);
    else
        std::memcpy(out, it->second.data(), 512);
}

void MemorySectorStore::Write(std::uint64_t lba, const std::uint8_t* in) {
    bool zero = true;
    for (int i = 0; i < 512 && zero; ++i)
        zero = in[i] == 0;
    if (zero) {
        sectors_.erase(lba);
        return;
    }
    std::memcpy(sectors_[lba].data(), in, 512);
}

FileSectorStore::FileSectorStore(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("cannot open disk image " + path + ": " + std::strerror(errno));
}

FileSectorStore::~FileSectorStore() {
    if (fd_ >= 0)
        ::close(fd_);
}

void FileSectorStore::Read(std::uint64_t lba, std::uint8_t* out) {
    std::size_t got = 0;
    while (got < 512) {
        ssize_t n = ::pread(fd_, out + got, 512 - got, static_cast<off_t>(lba * 512 + got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < 512)
        std::memset(out + got, 0, 512 - got);
}

void FileSectorStore::Write(std::uint64_t lba, const std::uint8_t* in) {
    std::size_t put = 0;
    while (put < 512) {
        ssize_t n = ::pwrite(fd_, in + put, 512 - put, static_cast<off_t>(lba * 512 + put));
        if (n <= 0)
            break;
        put += static_cast<std::size_t>(n);
    }
}

std::uint64_t FileSectorStore::SizeInSectors() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size) / 512;
}

} // namespace zkv
