#include "platform/LinuxSmallPort.h"

#include <cerrno>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define ZKV_HAVE_PORT_IO 1
#else
#define ZKV_HAVE_PORT_IO 0
#endif

namespace zkv {
namespace {

// The generation this thread holds permissions for; 0 means none.
thread_local unsigned tGrantedGeneration = 0;

#if ZKV_HAVE_PORT_IO
inline std::uint8_t In8(std::uint16_t port) {
    std::uint8_t v;
    asm volatile("inb %w1, %b0" : "=a"(v) : "Nd"(port));
    return v;
}
inline std::uint16_t In16(std::uint16_t port) {
    std::uint16_t v;
    asm volatile("inw %w1, %w0" : "=a"(v) : "Nd"(port));
    return v;
}
inline std::uint32_t In32(std::uint16_t port) {
    std::uint32_t v;
    asm volatile("inl %w1, %0" : "=a"(v) : "Nd"(port));
    return v;
}
inline void Out8(std::uint16_t port, std::uint8_t v) {
    asm volatile("outb %b0, %w1" : : "a"(v), "Nd"(port));
}
inline void Out16(std::uint16_t port, std::uint16_t v) {
    asm volatile("outw %w0, %w1" : : "a"(v), "Nd"(port));
}
inline void Out32(std::uint16_t port, std::uint32_t v) {
    asm volatile("outl %0, %w1" : : "a"(v), "Nd"(port));
}
inline void InString16(std::uint16_t port, std::uint16_t* dst, std::size_t count) {
    asm volatile("rep insw" : "+D"(dst), "+c"(count) : "d"(port) : "memory");
}
inline void OutString16(std::uint16_t port, const std::uint16_t* src, std::size_t count) {
    asm volatile("rep outsw" : "+S"(src), "+c"(count) : "d"(port) : "memory");
}
#endif

} // namespace

TLinuxSmallPort::TLinuxSmallPort(std::vector<PortRange> ranges) : ranges_(std::move(ranges)) {}

TLinuxSmallPort::~TLinuxSmallPort() {
    CloseDriver();
}

bool TLinuxSmallPort::Grant() {
#if ZKV_HAVE_PORT_IO
    if (ranges_.empty()) {
        lastError_ = "no port range was asked for";
        return false;
    }
    for (const PortRange& r : ranges_) {
        if (r.count == 0)
            continue;
        if (ioperm(r.first, r.count, 1) != 0) {
            lastError_ = std::string("ioperm: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
#else
    lastError_ = "port I/O is not available on this architecture";
    return false;
#endif
}

bool TLinuxSmallPort::OpenDriver() {
    if (open_.load())
        return true;
    lastError_.clear();
    if (!Grant())
        return false;
    unsigned gen = generation_.fetch_add(1) + 1;
    tGrantedGeneration = gen;
    open_.store(true);
    return true;
}

void TLinuxSmallPort::CloseDriver() {
    if (!open_.exchange(false))
        return;
#if ZKV_HAVE_PORT_IO
    for (const PortRange& r : ranges_)
        if (r.count)
            ioperm(r.first, r.count, 0);
#endif
    tGrantedGeneration = 0;
}

bool TLinuxSmallPort::Ready() {
    if (!open_.load()) {
        ++failed_;
        return false;
    }
    unsigned gen = generation_.load();
    if (tGrantedGeneration != gen) {
        if (!Grant()) {
            ++failed_;
            return false;
        }
        tGrantedGeneration = gen;
    }
    return true;
}

#if ZKV_HAVE_PORT_IO
std::uint16_t TLinuxSmallPort::ReadByte(std::uint16_t port) {
    return Ready() ? In8(port) : 0;
}
void TLinuxSmallPort::WriteByte(std::uint16_t port, std::uint16_t value) {
    if (Ready())
        Out8(port, static_cast<std::uint8_t>(value));
}
std::uint16_t TLinuxSmallPort::ReadWord(std::uint16_t port) {
    return Ready() ? In16(port) : 0;
}
void TLinuxSmallPort::WriteWord(std::uint16_t port, std::uint16_t value) {
    if (Ready())
        Out16(port, value);
}
std::uint32_t TLinuxSmallPort::ReadDWord(std::uint16_t port) {
    return Ready() ? In32(port) : 0;
}
void TLinuxSmallPort::WriteDWord(std::uint16_t port, std::uint32_t value) {
    if (Ready())
        Out32(port, value);
}
void TLinuxSmallPort::ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) {
    if (Ready())
        InString16(port, dst, count);
    else
        std::memset(dst, 0, count * sizeof *dst);
}
void TLinuxSmallPort::WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) {
    if (Ready())
        OutString16(port, src, count);
}
#else
std::uint16_t TLinuxSmallPort::ReadByte(std::uint16_t) {
    ++failed_;
    return 0;
}
void TLinuxSmallPort::WriteByte(std::uint16_t, std::uint16_t) {
    ++failed_;
}
std::uint16_t TLinuxSmallPort::ReadWord(std::uint16_t) {
    ++failed_;
    return 0;
}
void TLinuxSmallPort::WriteWord(std::uint16_t, std::uint16_t) {
    ++failed_;
}
std::uint32_t TLinuxSmallPort::ReadDWord(std::uint16_t) {
    ++failed_;
    return 0;
}
void TLinuxSmallPort::WriteDWord(std::uint16_t, std::uint32_t) {
    ++failed_;
}
void TLinuxSmallPort::ReadWords(std::uint16_t, std::uint16_t* dst, std::size_t count) {
    ++failed_;
    std::memset(dst, 0, count * sizeof *dst);
}
void TLinuxSmallPort::WriteWords(std::uint16_t, const std::uint16_t*, std::size_t) {
    ++failed_;
}
#endif

} // namespace zkv
