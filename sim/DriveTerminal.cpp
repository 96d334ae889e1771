#include "sim/DriveTerminal.h"

#include "sim/HexNumber.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace zkv {

namespace {

std::int32_t SpeedOf(speed_t s) {
    switch (s) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

std::int32_t SpeedCommand(const std::string& line) {
    if (line == "B96")
        return 9600;
    if (line == "B192")
        return 19200;
    if (line == "B576")
        return 57600;
    if (line == "B115")
        return 115200;
    return 0;
}

} // namespace

DriveTerminal::DriveTerminal(Options options) : options_(std::move(options)) {
    awake_ = options_.awake;
    record_.speed = options_.speed;
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::system_error(errno, std::generic_category(), "posix_openpt");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        throw std::system_error(errno, std::generic_category(), "ptsname_r");
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        throw std::system_error(errno, std::generic_category(), "open pty");
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(slave_, TCSANOW, &t);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
}

DriveTerminal::~DriveTerminal() {
    Stop();
    for (int fd : {master_, slave_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

void DriveTerminal::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void DriveTerminal::Stop() {
    stop_ = true;
    char b = 1;
    [[maybe_unused]] auto n = ::write(wake_[1], &b, 1);
    if (thread_.joinable())
        thread_.join();
}

void DriveTerminal::Run() {
    char buf[512];
    while (!stop_) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard g(lock_);
                for (ssize_t i = 0; i < n; ++i)
                    Handle(buf[i]);
            }
        }
    }
}

DriveTerminal::Record DriveTerminal::Snapshot() const {
    std::lock_guard g(lock_);
    return record_;
}

void DriveTerminal::Say(std::string_view text) {
    std::lock_guard g(lock_);
    Send(text);
}

std::int32_t DriveTerminal::LineSpeed() const {
    termios t{};
    if (::tcgetattr(slave_, &t) != 0)
        return 0;
    return SpeedOf(::cfgetospeed(&t));
}

void DriveTerminal::Send(std::string_view text) {
    if (LineSpeed() != record_.speed)
        return; // the client listens at another speed: nothing readable arrives
    while (!text.empty()) {
        ssize_t n = ::write(master_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void DriveTerminal::Handle(char c) {
    record_.received.push_back(c);
    if (c == 26) {
        if (!awake_)
            ++record_.wakeUps;
        awake_ = true;
        line_.clear();
        Send(Prompt());
        return;
    }
    if (!awake_)
        return;
    if (c == '\r')
        ++record_.carriageReturns;
    if (entry_) {
        if (c == '\r') {
            entry_ = false;
            hex_.clear();
            Send(Prompt());
        } else if (c == '\n') {
            std::uint32_t v = 0;
            if (hex_.size() == 2 && ParseHexNumber(hex_, v))
                record_.bufferBytes.push_back(static_cast<std::uint8_t>(v));
            hex_.clear();
            char next[32];
            std::snprintf(next, sizeof next, "\r\n%08X -->",
                          record_.bufferAddress +
                              static_cast<std::uint32_t>(record_.bufferBytes.size()));
            Send(next);
        } else if (hex_.size() < 8) {
            hex_.push_back(c);
            Send(std::string_view(&c, 1));
        }
        return;
    }
    if (c == '\r') {
        std::string line;
        line.swap(line_);
        Line(line);
        return;
    }
    if (c == '\n')
        return;
    if (line_.size() < 256)
        line_.push_back(c);
    Send(std::string_view(&c, 1));
}

void DriveTerminal::Line(const std::string& line) {
    if (line.empty() || line == "/") {
        Send(Prompt());
        return;
    }
    if (std::int32_t speed = SpeedCommand(line)) {
        record_.speedCommands.push_back(line);
        record_.lineSpeeds.push_back(LineSpeed());
        if (options_.acceptsSpeedCommands)
            record_.speed = speed;
        Send(Prompt());
        return;
    }
    std::uint32_t hi = 0, lo = 0;
    if (line.size() == 10 && line[0] == 'U' && line[5] == ',' &&
        ParseHexNumber(std::string_view(line).substr(1, 4), hi) &&
        ParseHexNumber(std::string_view(line).substr(6, 4), lo)) {
        entry_ = true;
        record_.bufferAddress = (hi << 16) | lo;
        record_.bufferBytes.clear();
        char first[32];
        std::snprintf(first, sizeof first, "\r\n%08X -->", record_.bufferAddress);
        Send(first);
        return;
    }
    if (line == "V") {
        Send("\r\nSimulated drive terminal, " + std::to_string(record_.speed) + " bit/s" +
             Prompt());
        return;
    }
    Send("\r\nUnknown command: " + line + Prompt());
}

} // namespace zkv
