// What the protocol engine hands on to the rest of the program when the technician asks for it.
//
// UserClientSocket owns the handler table of the technician's commands. The work that lies
// elsewhere (the chosen channel, the surface scan, the serial bridge, the instruction screens,
// restart and power-off) is reached through these interfaces, each installed by the program
// that owns the piece (the work window, a test, a command-line tool). A service that is not
// installed makes its commands answer as a command that cannot be carried out (0x1003), or
// UNKNOWN COMMAND where the handler table says so.
#pragma once

#include "protocol/Packet.h"
#include "protocol/Vocabulary.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zkv {

class TControllerInfo;
struct DriveInfo;
class IPowerControl;

// The engine's side, for services that answer commands or speak to the technician.
class ITechnicianLink {
public:
    virtual ~ITechnicianLink() = default;
    // Addresses the reply packet being filled to the sender of the command being answered:
    // role 6 (NODE MGR) with a technician attached, else 7 (AUTOMAT); FOR_ONE.
    virtual void ApplyReplyRouting() = 0;
    // Sends a client-originated message (one item, flags 0, echo 0) to the technician, addressed
    // like a routed reply to the sender of the most recent command packet. False when the
    // packet could not be sent.
    virtual bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) = 0;
    // The same, addressed to `destination` (a sender remembered earlier) instead.
    virtual bool SendToTechnicianAt(CommandCode code, std::span<const std::uint8_t> data,
                                    std::int32_t destination) {
        (void)destination;
        return SendToTechnician(code, data);
    }
    virtual bool TechnicianAttached() const = 0;
    // The sender identifier (header offset 15) of the command packet being processed.
    virtual std::int32_t CurrentSender() const = 0;
};

// The chosen IDE channel and what the detection found on it.
class IChannelService {
public:
    virtual ~IChannelService() = default;
    // The chosen channel's device, nullptr before a channel was chosen.
    virtual TControllerInfo* CurrentDevice() = 0;
    // The drive chosen at detection (its 425-byte record goes into CMD_START_CHAT's answer).
    virtual const DriveInfo& ChosenDrive() = 0;
    // The controller classes' list as a stream (CMD_START_CHAT's answer, after the drive).
    // False when it cannot be serialized.
    virtual bool WriteControllerStream(std::vector<std::uint8_t>& out) = 0;
};

// The surface scan (CMD_SCAN_SURFACE).
class IScanService {
public:
    virtual ~IScanService() = default;
    virtual bool ScanRunning() const = 0;
    // Starts a scan with the command's 56-byte parameter record; results go to `destination`
    // as CMD_SHOW_SCAN messages. False when the scan is refused (bad parameters, one running).
    virtual bool StartScan(std::span<const std::uint8_t> params, std::int32_t destination) = 0;
    // Why the last StartScan was refused, in words for the technician; empty when there is
    // nothing more to say than the refusal itself.
    virtual std::string RefusalReason() const { return {}; }
    // Asks a running scan to stop (the technician left, the connection dropped, a reset).
    virtual void RequestStop() = 0;
};

// The serial bridge: the CMD_COMPORT_* commands (41 to 43, 45 to 47).
class IComPortService {
public:
    virtual ~IComPortService() = default;
    // Answers one command item; applies routing through `link` where the command's table says.
    virtual void Handle(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) = 0;
    // Closes the port (at program end).
    virtual void Close() = 0;
};

// The instruction screens (CMD_DISPLAY_MESSAGE).
class IScreenService {
public:
    virtual ~IScreenService() = default;
    virtual void Display(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) = 0;
};

struct TechnicianServices {
    IChannelService* channel = nullptr;
    IScanService* scan = nullptr;
    IComPortService* comPort = nullptr;
    IScreenService* screens = nullptr;
    IPowerControl* power = nullptr;
};

} // namespace zkv
