#include "platform/LinuxAtaPassThrough.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zkv {
namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDidTimeOut = 0x03;
constexpr std::uint16_t kDriverTimeout = 0x06;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kAbortedCommand = 0x0B;

std::string Errno(int e) {
    return std::strerror(e);
}

} // namespace

LinuxAtaPassThrough::~LinuxAtaPassThrough() {
    Close();
}

bool LinuxAtaPassThrough::Open(const std::string& path, std::string& why) {
    Close();
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = "can not open " + path + ": " + Errno(errno);
        return false;
    }
    int version = 0;
    if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
        why = path + " does not take SCSI generic requests";
        ::close(fd);
        return false;
    }
    // Blocking from here on: SG_IO waits for the command in any case.
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    fd_ = fd;
    path_ = path;
    return true;
}

void LinuxAtaPassThrough::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
}

void LinuxAtaPassThrough::Send(const std::uint8_t* cdb, std::size_t cdbLen,
                               PassThroughDirection dir, std::uint8_t* data, std::size_t len,
                               std::uint32_t timeoutMs, AtaPassThroughResult& res) {
    std::uint8_t sense[kMaxSenseBytes] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmdp = const_cast<unsigned char*>(cdb);
    h.cmd_len = static_cast<unsigned char>(cdbLen);
    h.dxfer_direction = dir == PassThroughDirection::In    ? SG_DXFER_FROM_DEV
                        : dir == PassThroughDirection::Out ? SG_DXFER_TO_DEV
                                                           : SG_DXFER_NONE;
    h.dxferp = len ? data : nullptr;
    h.dxfer_len = static_cast<unsigned>(len);
    h.sbp = sense;
    h.mx_sb_len = sizeof sense;
    h.timeout = timeoutMs;
    auto start = std::chrono::steady_clock::now();
    int rc = ::ioctl(fd_, SG_IO, &h);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    res.durationMs = h.duration ? h.duration : static_cast<std::uint32_t>(ms);
    if (rc < 0) {
        res.sysError = errno;
        res.outcome = AtaPassThroughResult::Outcome::Failed;
        res.detail = "SG_IO failed: " + Errno(res.sysError);
        return;
    }
    res.scsiStatus = h.status;
    res.hostStatus = h.host_status;
    res.driverStatus = h.driver_status;
    std::size_t got = std::min<std::size_t>(h.sb_len_wr, sizeof sense);
    res.senseBytes.assign(sense, sense + got);
    res.sense = ParseAtaSense(res.senseBytes);
    int resid = h.resid < 0 ? 0 : h.resid;
    res.transferred = len > static_cast<std::size_t>(resid) ? len - resid : 0;
}

AtaPassThroughResult LinuxAtaPassThrough::Execute(const AtaPassThroughCommand& cmd) {
    using Outcome = AtaPassThroughResult::Outcome;
    AtaPassThroughResult res;
    if (fd_ < 0) {
        res.detail = "the pass-through device is not open";
        return res;
    }
    if (!PassThroughCommandValid(cmd, res.detail)) {
        res.outcome = Outcome::Refused;
        return res;
    }
    AtaPassThroughCommand sent = cmd;
    if (cmd.protocol == PassThroughProtocol::PioDataIn)
        sent.checkCondition = false;
    auto cdb = BuildPassThrough16(sent);
    Send(cdb.data(), cdb.size(), cmd.direction, cmd.data.data(), cmd.data.size(), cmd.timeoutMs,
         res);
    if (res.sysError)
        return res;
    if (res.hostStatus == kDidTimeOut || (res.driverStatus & 0x0F) == kDriverTimeout) {
        res.outcome = Outcome::TimedOut;
        res.detail = "no completion within " + std::to_string(cmd.timeoutMs) + " ms";
        return res;
    }
    if (res.hostStatus != 0) {
        res.outcome = Outcome::Failed;
        res.detail = "host status " + std::to_string(res.hostStatus);
        return res;
    }
    const AtaSense& s = res.sense;
    if (res.scsiStatus == 0) {
        res.outcome = Outcome::Completed; // no registers without CK_COND
        return res;
    }
    if (res.scsiStatus != kCheckCondition) {
        res.outcome = Outcome::Failed;
        res.detail = "SCSI status " + std::to_string(res.scsiStatus);
        return res;
    }
    if (s.hasRegisters) {
        bool err = (s.regs.status & 0x21) != 0; // ERR or DF
        if (IsPassThroughInfo(s) && !err) {
            res.outcome = Outcome::Completed;
        } else if (err) {
            res.outcome = Outcome::DeviceError;
            res.detail = "device error: status " + std::to_string(s.regs.status) + " error " +
                         std::to_string(s.regs.error);
        } else {
            // Ended by the kernel, not by the device: after a time-out its error handler
            // resets the link and answers ABORTED COMMAND with the status it last saw, once
            // the device has let go of the command (which may be long after the time-out).
            res.transferred = 0;
            if (res.durationMs >= cmd.timeoutMs) {
                res.outcome = Outcome::TimedOut;
                res.detail = "no completion within " + std::to_string(cmd.timeoutMs) +
                             " ms; the kernel reset the link";
            } else {
                res.outcome = Outcome::Failed;
                res.detail = "ended by the kernel (sense key " + std::to_string(s.key) +
                             ") without an error of the device, status " +
                             std::to_string(s.regs.status);
            }
        }
        return res;
    }
    if (s.key == kIllegalRequest) {
        res.outcome = Outcome::Refused;
        res.detail = "refused by the kernel (ILLEGAL REQUEST, ASC " + std::to_string(s.asc) + "/" +
                     std::to_string(s.ascq) + ")";
        return res;
    }
    res.outcome = s.key == kAbortedCommand ? Outcome::DeviceError : Outcome::Failed;
    res.detail = "CHECK CONDITION without registers, sense key " + std::to_string(s.key) + " ASC " +
                 std::to_string(s.asc) + "/" + std::to_string(s.ascq);
    return res;
}

bool LinuxAtaPassThrough::ModeControlPage(std::uint8_t (&buf)[28], std::size_t& got,
                                          std::string& why) {
    // MODE SENSE (10), current values, page 0x0A, no block descriptors.
    std::uint8_t cdb[10] = {0x5A, 0x08, 0x0A, 0, 0, 0, 0, 0, sizeof buf, 0};
    AtaPassThroughResult res;
    std::memset(buf, 0, sizeof buf);
    Send(cdb, sizeof cdb, PassThroughDirection::In, buf, sizeof buf, 10'000, res);
    if (res.sysError || res.scsiStatus != 0 || res.hostStatus != 0) {
        why = "MODE SENSE failed" + (res.detail.empty() ? "" : ": " + res.detail);
        return false;
    }
    got = res.transferred;
    std::size_t blockDesc = (std::size_t(buf[6]) << 8) | buf[7];
    // header (8) + page 0x0A of 12 bytes
    if (blockDesc != 0 || got < 8 + 12 || (buf[8] & 0x3F) != 0x0A || buf[9] < 10) {
        why = "MODE SENSE gave no control mode page";
        return false;
    }
    return true;
}

bool LinuxAtaPassThrough::DescriptorSense(bool& on, std::string& why) {
    std::uint8_t buf[28];
    std::size_t got = 0;
    if (fd_ < 0 || !ModeControlPage(buf, got, why))
        return false;
    on = (buf[8 + 2] & 0x04) != 0;
    return true;
}

bool LinuxAtaPassThrough::SetDescriptorSense(bool on, std::string& why) {
    std::uint8_t buf[28];
    std::size_t got = 0;
    if (fd_ < 0 || !ModeControlPage(buf, got, why))
        return false;
    std::size_t len = 8 + 2 + buf[9];
    if (len > sizeof buf) {
        why = "control mode page too long";
        return false;
    }
    buf[0] = buf[1] = 0; // mode data length is reserved in MODE SELECT
    buf[8] &= 0x3F;      // PS bit cleared
    if (on)
        buf[10] |= 0x04;
    else
        buf[10] &= ~0x04;
    // MODE SELECT (10), PF set.
    std::uint8_t cdb[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(len), 0};
    AtaPassThroughResult res;
    Send(cdb, sizeof cdb, PassThroughDirection::Out, buf, len, 10'000, res);
    if (res.sysError || res.scsiStatus != 0 || res.hostStatus != 0) {
        why = "MODE SELECT failed" + (res.detail.empty() ? "" : ": " + res.detail) +
              (res.sense.format != AtaSense::Format::None
                   ? " (sense key " + std::to_string(res.sense.key) + " ASC " +
                         std::to_string(res.sense.asc) + ")"
                   : std::string());
        return false;
    }
    return true;
}

int LinuxAtaPassThrough::ScsiReset(int what) {
    if (fd_ < 0)
        return EBADF;
    int v = what;
    return ::ioctl(fd_, SG_SCSI_RESET, &v) < 0 ? errno : 0;
}

bool LinuxAtaPassThrough::ResetDevice(std::string& why) {
    if (fd_ < 0) {
        why = "the pass-through device is not open";
        return false;
    }
    sg_scsi_id id{};
    if (::ioctl(fd_, SG_GET_SCSI_ID, &id) < 0) {
        why = "SG_GET_SCSI_ID failed: " + Errno(errno);
        return false;
    }
    // libata's hosts sit under their port (.../ataN/hostM); others (a USB bridge) are reset
    // by the SCSI layer's own resets.
    std::string host = "/sys/class/scsi_host/host" + std::to_string(id.host_no);
    std::error_code ec;
    auto parent = std::filesystem::canonical(host + "/device", ec).parent_path().filename();
    if (ec || parent.string().rfind("ata", 0) != 0) {
        for (int what : {SG_SCSI_RESET_DEVICE, SG_SCSI_RESET_BUS}) {
            int e = ScsiReset(what);
            if (e == 0)
                return true;
            why = "SG_SCSI_RESET failed: " + Errno(e);
        }
        return false;
    }
    std::string attr = host + "/scan";
    std::string line = std::to_string(id.channel) + " " + std::to_string(id.scsi_id) + " " +
                       std::to_string(id.lun) + "\n";
    int fd = ::open(attr.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        why = "can not open " + attr + ": " + Errno(errno);
        return false;
    }
    // libata waits for its error handler (reset and revalidation) before the write returns.
    ssize_t n = ::write(fd, line.data(), line.size());
    int e = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        why = "writing " + attr + " failed: " + Errno(e);
        return false;
    }
    return true;
}

} // namespace zkv
