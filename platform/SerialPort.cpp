#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <system_error>
#include <tuple>

namespace zkv {

namespace {

struct BaudCode {
    std::int32_t baud;
    speed_t code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool BaudToCode(std::int32_t baud, speed_t& code) {
    for (const auto& b : kBauds) {
        if (b.baud == baud) {
            code = b.code;
            return true;
        }
    }
    return false;
}

// Raw line with the given settings; no modem control, no echo, reads never block.
bool ApplySettings(int fd, const SerialSettings& s) {
    speed_t speed;
    if (!BaudToCode(s.baud, speed))
        return false;
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (s.dataBits) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (s.stopBits == 2)
        t.c_cflag |= CSTOPB;
    switch (s.parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (s.softwareFlow & 1)
        t.c_iflag |= IXOFF;
    if (s.softwareFlow & 2)
        t.c_iflag |= IXON;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

bool SerialBaudSupported(std::int32_t baud) {
    speed_t code;
    return BaudToCode(baud, code);
}

bool SerialSettingsValid(const SerialSettings& s) {
    return SerialBaudSupported(s.baud) && (s.stopBits == 1 || s.stopBits == 2) && s.dataBits >= 5 &&
           s.dataBits <= 8 && s.parity >= 0 && s.parity <= 4 && s.softwareFlow >= 0 &&
           s.softwareFlow <= 3;
}

// --- the shared part ----------------------------------------------------------------------------

bool BufferedSerialPort::Open(int number, const SerialSettings& settings) {
    Close();
    if (number < 1 || number > kMaxSerialPorts || !SerialSettingsValid(settings))
        return false;
    if (!DeviceOpen(number, settings))
        return false;
    open_ = true;
    number_ = number;
    settings_ = settings;
    return true;
}

void BufferedSerialPort::Close() {
    if (open_)
        DeviceClose();
    DeviceArmTimer(0);
    open_ = false;
    number_ = 0;
    input_.clear();
    recent_.clear();
    unannounced_ = 0;
    dataTriggers_.clear();
    timerHandle_ = 0;
    timerEnabled_ = false;
    events_.clear();
    ++generation_;
}

bool BufferedSerialPort::SetBaud(std::int32_t baud) {
    if (!open_ || !SerialBaudSupported(baud))
        return false;
    if (!DeviceSetBaud(baud))
        return false;
    settings_.baud = baud;
    return true;
}

bool BufferedSerialPort::Write(std::string_view bytes) {
    return open_ && DeviceWrite(bytes);
}

void BufferedSerialPort::Pull() {
    if (!open_)
        return;
    DevicePull();
    if (!events_.empty())
        ScheduleDispatch();
}

std::size_t BufferedSerialPort::CharsReady() {
    Pull();
    return input_.size();
}

std::string BufferedSerialPort::Read(std::size_t max) {
    Pull();
    std::size_t n = std::min(max, input_.size());
    std::string out = input_.substr(0, n);
    input_.erase(0, n);
    return out;
}

std::size_t BufferedSerialPort::WaitForChars(int timeoutMs) {
    if (CharsReady() == 0 && open_ && timeoutMs > 0) {
        DeviceWait(timeoutMs);
        Pull();
    }
    return input_.size();
}

void BufferedSerialPort::FlushInput() {
    if (open_)
        DevicePull();
    input_.clear();
    recent_.clear();
    unannounced_ = 0;
    events_.clear();
}

int BufferedSerialPort::AddDataTrigger(std::string_view match) {
    if (!open_ || match.empty())
        return 0;
    int h = nextHandle_++;
    dataTriggers_.push_back(DataTrigger{h, std::string(match)});
    return h;
}

int BufferedSerialPort::AddTimerTrigger() {
    if (!open_ || timerHandle_ != 0)
        return 0;
    timerHandle_ = nextHandle_++;
    return timerHandle_;
}

bool BufferedSerialPort::SetTimerTrigger(int handle, int ticks, bool enabled) {
    if (handle == 0 || handle != timerHandle_)
        return false;
    timerEnabled_ = enabled;
    DeviceArmTimer(enabled ? std::max(1, ticks * TickMs()) : 0);
    return true;
}

void BufferedSerialPort::RemoveTrigger(int handle) {
    if (handle == 0)
        return;
    if (handle == timerHandle_) {
        DeviceArmTimer(0);
        timerHandle_ = 0;
        timerEnabled_ = false;
        return;
    }
    std::erase_if(dataTriggers_, [handle](const DataTrigger& t) { return t.handle == handle; });
}

void BufferedSerialPort::Ingest(std::string_view bytes) {
    std::size_t longest = 0;
    for (const auto& t : dataTriggers_)
        longest = std::max(longest, t.match.size());
    for (char c : bytes) {
        if (input_.size() >= kSerialInputLimit) {
            ++overruns_;
            continue;
        }
        input_.push_back(c);
        ++unannounced_;
        if (longest == 0)
            continue;
        recent_.push_back(c);
        if (recent_.size() > longest)
            recent_.erase(0, recent_.size() - longest);
        for (const auto& t : dataTriggers_) {
            if (recent_.size() >= t.match.size() &&
                recent_.compare(recent_.size() - t.match.size(), t.match.size(), t.match) == 0) {
                events_.push_back(Event{Event::Avail, unannounced_});
                unannounced_ = 0;
                events_.push_back(Event{Event::Data, static_cast<std::size_t>(t.handle)});
            }
        }
    }
    if (unannounced_ > 0) {
        events_.push_back(Event{Event::Avail, unannounced_});
        unannounced_ = 0;
    }
}

void BufferedSerialPort::TimerExpired() {
    if (!timerEnabled_ || timerHandle_ == 0)
        return;
    timerEnabled_ = false;
    events_.push_back(Event{Event::Timer, static_cast<std::size_t>(timerHandle_)});
    Dispatch();
}

void BufferedSerialPort::ScheduleDispatch() {
    if (dispatching_ || dispatchRequested_)
        return;
    dispatchRequested_ = true;
    RequestDispatch();
}

void BufferedSerialPort::Dispatch() {
    dispatchRequested_ = false;
    if (dispatching_)
        return;
    dispatching_ = true;
    const std::uint64_t generation = generation_;
    while (!events_.empty() && generation == generation_) {
        Event e = events_.front();
        events_.pop_front();
        if (!listener_)
            continue;
        switch (e.kind) {
        case Event::Avail:
            listener_->OnCharsAvailable(e.value);
            break;
        case Event::Data:
            listener_->OnDataTrigger(static_cast<int>(e.value));
            break;
        case Event::Timer:
            listener_->OnTimerTrigger(static_cast<int>(e.value));
            break;
        }
    }
    dispatching_ = false;
}

// --- the machine's devices ----------------------------------------------------------------------

std::vector<std::string> SerialDeviceList(const std::filesystem::path& devDir) {
    static constexpr std::string_view kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};
    std::vector<std::tuple<int, unsigned long, std::string>> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(devDir, ec)) {
        const std::string name = entry.path().filename().string();
        for (int f = 0; f < 3; ++f) {
            const std::string_view family = kFamilies[f];
            if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0)
                continue;
            const char* first = name.data() + family.size();
            const char* last = name.data() + name.size();
            unsigned long n = 0;
            auto [end, err] = std::from_chars(first, last, n);
            if (err == std::errc() && end == last)
                found.emplace_back(f, n, entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& [f, n, path] : found) {
        if (out.size() == static_cast<std::size_t>(kMaxSerialPorts))
            break;
        out.push_back(std::move(path));
    }
    return out;
}

TermiosSerialPort::TermiosSerialPort(std::vector<std::string> devices, INotifierFactory& notifiers,
                                     int tickMs)
    : devices_(std::move(devices)), notifiers_(notifiers), tickMs_(tickMs > 0 ? tickMs : 1) {
    if (devices_.size() > static_cast<std::size_t>(kMaxSerialPorts))
        devices_.resize(kMaxSerialPorts);
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ >= 0)
        timerNotifier_ = notifiers_.WatchReadable(timerFd_, [this] { TimerReadable(); });
}

TermiosSerialPort::~TermiosSerialPort() {
    *alive_ = false;
    Close();
    timerNotifier_.reset();
    if (timerFd_ >= 0)
        ::close(timerFd_);
}

const std::string* TermiosSerialPort::Path(int number) const {
    if (number < 1 || static_cast<std::size_t>(number) > devices_.size())
        return nullptr;
    const std::string& p = devices_[static_cast<std::size_t>(number - 1)];
    return p.empty() ? nullptr : &p;
}

int TermiosSerialPort::OpenNumber(int number) const {
    const std::string* path = Path(number);
    if (!path)
        return -1;
    return ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool TermiosSerialPort::Available(int number) {
    if (IsOpen() && Number() == number)
        return true;
    const int fd = OpenNumber(number);
    if (fd < 0)
        return false;
    termios t{};
    bool ok = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return ok;
}

bool TermiosSerialPort::DeviceOpen(int number, const SerialSettings& settings) {
    const int fd = OpenNumber(number);
    if (fd < 0)
        return false;
    if (::ioctl(fd, TIOCEXCL) != 0 || !ApplySettings(fd, settings)) {
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    hungUp_ = false;
    readNotifier_ = notifiers_.WatchReadable(fd_, [this] { Readable(); });
    return true;
}

void TermiosSerialPort::DeviceClose() {
    readNotifier_.reset();
    if (fd_ >= 0) {
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
}

bool TermiosSerialPort::DeviceSetBaud(std::int32_t baud) {
    SerialSettings s = Settings();
    s.baud = baud;
    return fd_ >= 0 && ApplySettings(fd_, s);
}

bool TermiosSerialPort::DeviceWrite(std::string_view bytes) {
    if (fd_ < 0 || hungUp_)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        // The line is full: wait for it to drain, but not for ever.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

void TermiosSerialPort::DevicePull() {
    if (fd_ < 0 || hungUp_)
        return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            Ingest(std::string_view(buf, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        bool gone = n < 0 && errno != EAGAIN;
        if (n == 0) {
            // A raw line without a minimum count reads 0 when empty; only a hang-up is the end.
            pollfd p{fd_, POLLIN, 0};
            gone = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
        }
        if (gone) {
            // The device went away (adapter unplugged, far end of a pty closed): stop
            // watching it, or the notifier would fire for ever; writes fail from now on.
            hungUp_ = true;
            if (readNotifier_)
                readNotifier_->SetEnabled(false);
        }
        return;
    }
}

void TermiosSerialPort::DeviceWait(int timeoutMs) {
    if (fd_ < 0 || hungUp_)
        return;
    pollfd p{fd_, POLLIN, 0};
    ::poll(&p, 1, timeoutMs);
}

void TermiosSerialPort::DeviceArmTimer(int ms) {
    if (timerFd_ < 0)
        return;
    itimerspec when{};
    when.it_value.tv_sec = ms / 1000;
    when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    ::timerfd_settime(timerFd_, 0, &when, nullptr);
}

void TermiosSerialPort::RequestDispatch() {
    notifiers_.Post([this, alive = alive_] {
        if (*alive)
            Dispatch();
    });
}

void TermiosSerialPort::Readable() {
    DevicePull();
    Dispatch();
}

void TermiosSerialPort::TimerReadable() {
    std::uint64_t expirations = 0;
    if (::read(timerFd_, &expirations, sizeof expirations) == sizeof expirations)
        TimerExpired();
}

} // namespace zkv
