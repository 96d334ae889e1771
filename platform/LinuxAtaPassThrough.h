// ATA PASS-THROUGH (16) over the SCSI generic SG_IO request of Linux, on a /dev/sgN (or the
// disk's block device, which takes SG_IO as well).
//
// libata answers every command sent with CK_COND with CHECK CONDITION, sense key RECOVERED
// ERROR and ASC/ASCQ 00h/1Dh, carrying the output registers; errors carry them too. What comes
// back is bounded: at most kMaxSenseBytes of sense, the caller's buffer for data, and SG_IO's
// own time-out, which the caller sets above the time it allows the command.
#pragma once

#include "platform/AtaPassThrough.h"

#include <string>

namespace zkv {

class LinuxAtaPassThrough final : public AtaPassThrough {
public:
    LinuxAtaPassThrough() = default;
    ~LinuxAtaPassThrough() override;
    LinuxAtaPassThrough(const LinuxAtaPassThrough&) = delete;
    LinuxAtaPassThrough& operator=(const LinuxAtaPassThrough&) = delete;

    // Opens `path` read-write and checks that it takes SCSI generic requests.
    bool Open(const std::string& path, std::string& why);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    AtaPassThroughResult Execute(const AtaPassThroughCommand& cmd) override;
    // On a libata host: asks its error handler for a link reset through the SCSI host's scan
    // attribute, which resets the link and identifies the device again (SG_SCSI_RESET fails
    // with EIO on libata). On other hosts (a USB bridge): SG_SCSI_RESET, device then bus.
    bool ResetDevice(std::string& why) override;

    // The D_SENSE bit of the control mode page (descriptor-format sense for errors). Read
    // with MODE SENSE (10), written with MODE SELECT (10). False with `why` on failure.
    bool DescriptorSense(bool& on, std::string& why);
    bool SetDescriptorSense(bool on, std::string& why);

    // SG_SCSI_RESET with `what` (SG_SCSI_RESET_DEVICE, _BUS, _HOST, _TARGET): 0 or the errno.
    int ScsiReset(int what);

private:
    // One SCSI command with a data buffer; fills status fields and sense of `res`.
    void Send(const std::uint8_t* cdb, std::size_t cdbLen, PassThroughDirection dir,
              std::uint8_t* data, std::size_t len, std::uint32_t timeoutMs,
              AtaPassThroughResult& res);
    bool ModeControlPage(std::uint8_t (&page)[28], std::size_t& got, std::string& why);

    int fd_ = -1;
    std::string path_;
};

} // namespace zkv
