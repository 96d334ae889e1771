// UserClientSocket: the handlers of the technician's commands.
//
//   code  command                answer                                     routed
//    0    CMD_NO_OPERATION       0x1001                                     no
//    1    CMD_SHOW_LOG           0x1001 (text logged in bold)               no
//   13    CMD_DISCONNECT         0x1001 (no reconnect, connection closed)   no
//   14    CMD_START_CHAT         0x1001 DriveInfo + controller stream,      FOR_ADMIN only
//                                0x1003 (fewer than 8 data bytes, no stream)
//   15    CMD_CLOSE_CHAT         0x1001                                     no
//   22    CMD_ATA_GET_STATUS     0x1001 47-byte record                      yes
//   23    CMD_ATA_RESET          0x1001 47-byte record if asked             only then
//   25-27 CMD_*_IDE              0x1003                                     yes
//   28    CMD_REBOOT             0x1001 / 0x1003                            yes
//   35    CMD_SCAN_SURFACE       scan service: 0x1001 / 0x1003 + reason     yes
//   37    CMD_DISPLAY_MESSAGE    screen service, else 0x1003                yes
//   41-43, 45-47 CMD_COMPORT_*   serial service, else 0x1003                service / yes
//   48    CMD_SET_KEY            untouched item, under the new key;         no
//                                0x1003 and the old key for < 56 bytes
//   49    CMD_SHOW_WIZARD_FORM   0x1001 4-byte result / 0x1003              yes
//   52    CMD_SHUTDOWN           0x1001 flags 0 / 0x1003 flags 2            yes
// Everything else: UNKNOWN COMMAND when a reply is asked for.
#include "agent/UserClientSocket.h"

#include "ata/AtaThread.h"
#include "ata/DeviceId.h"
#include "ata/HDCDevice.h"
#include "platform/MainThread.h"
#include "platform/PowerControl.h"
#include "platform/RunOnce.h"
#include "support/ByteOrder.h"
#include "support/CodePage.h"
#include "support/SharedFlags.h"
#include "tools/WizFormData.h"

#include <thread>

namespace zkv {

namespace {

void Answer(ItemRecord& reply, std::int32_t status, std::vector<std::uint8_t> data = {}) {
    reply.code = status;
    reply.SetData(std::move(data));
}

std::vector<std::uint8_t> RecordBytes(const AtaCommandRecord& rec) {
    auto b = rec.Encode();
    return {b.begin(), b.end()};
}

// A zero-terminated wire text from `data` (without a terminator the rest of the data), in
// UTF-8.
std::string ZText(std::span<const std::uint8_t> data) {
    std::string s;
    for (std::uint8_t c : data) {
        if (c == 0)
            break;
        s += static_cast<char>(c);
    }
    return WireToUtf8(s);
}

constexpr std::uint32_t kItemFlagAutomat = 0x20;
constexpr std::uint32_t kItemFlagNoReadyDrsc = 0x40;
constexpr std::uint32_t kShutdownFailedFlags = 2;
constexpr std::size_t kStartChatFixed = 8;

} // namespace

SharedFlags& UserClientSocket::Flags() const {
    return flags_ ? *flags_ : SharedFlags::Instance();
}

IMainThread& UserClientSocket::Main() const {
    return main_ ? *main_ : MainThread();
}

TControllerInfo* UserClientSocket::Device() const {
    return services_.channel ? services_.channel->CurrentDevice() : nullptr;
}

// --- ITechnicianLink ---------------------------------------------------------------------------

void UserClientSocket::ApplyReplyRouting() {
    if (!replyPacket_)
        return;
    replyPacket_->header.addresseeRole =
        static_cast<std::uint8_t>(PartnerId() != 0 ? Role::NODE_MGR : Role::AUTOMAT);
    replyPacket_->header.delivery = FOR_ONE;
    replyPacket_->header.destinationId = CurrentSender();
}

std::int32_t UserClientSocket::CurrentSender() const {
    return currentPacket_ ? currentPacket_->header.senderId : LastCommandSender();
}

bool UserClientSocket::SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) {
    return SendToTechnicianAt(code, data, LastCommandSender());
}

bool UserClientSocket::SendToTechnicianAt(CommandCode code, std::span<const std::uint8_t> data,
                                          std::int32_t destination) {
    PacketConverter list;
    ItemRecord item(code, 0);
    item.SetData(std::vector<std::uint8_t>(data.begin(), data.end()));
    list.AddItem(std::move(item));
    PacketRecord packet;
    list.SerializeInto(packet);
    packet.header.senderRole = static_cast<std::uint8_t>(Role::CLIENT);
    packet.header.addresseeRole =
        static_cast<std::uint8_t>(PartnerId() != 0 ? Role::NODE_MGR : Role::AUTOMAT);
    packet.header.kind = COMMAND_PACKET;
    packet.header.partnerId = PartnerId();
    packet.header.delivery = FOR_ONE;
    packet.header.destinationId = destination;
    return host_.SendPacket(packet);
}

// --- log, connection, attach and detach ------------------------------------------------------

void UserClientSocket::OnCmdShowLog(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    host_.AddLogTextBold(ZText(command.Data()));
    Answer(reply, COMMAND_OK);
}

void UserClientSocket::OnCmdDisconnect(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    host_.SetNoReconnect(true);
    host_.CloseConnection();
    Answer(reply, COMMAND_OK);
}

void UserClientSocket::OnCmdStartChat(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    auto data = command.Data();
    if (data.size() < kStartChatFixed) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    host_.ExpandActivityPanel(kActivityPanelHeight);
    std::vector<std::uint8_t> stream;
    if (services_.channel && !services_.channel->WriteControllerStream(stream)) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    // Without a chosen channel the technician gets an empty drive record and no controllers.
    const DriveInfo none;
    const DriveInfo& drive = services_.channel ? services_.channel->ChosenDrive() : none;
    const auto driveBytes = drive.Encode();
    std::vector<std::uint8_t> out(driveBytes.begin(), driveBytes.end());
    out.insert(out.end(), stream.begin(), stream.end());
    Answer(reply, COMMAND_OK, std::move(out));

    host_.AddLogTextBold(ZText(data.subspan(kStartChatFixed)));
    SetPartnerId(GetI32(data.data()));
    technicianAttached_ = true;
    host_.SetTechnicianAttached(true);
    if (replyPacket_)
        replyPacket_->header.delivery = FOR_ADMIN;
}

void UserClientSocket::OnCmdCloseChat(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    host_.CollapseActivityPanel();
    technicianAttached_ = false;
    host_.SetTechnicianAttached(false);
    if (services_.scan)
        services_.scan->RequestStop();
    TechnicianLeft();
    SetPartnerId(0);
    Answer(reply, COMMAND_OK);
}

// --- the drive -------------------------------------------------------------------------------

void UserClientSocket::OnCmdAtaGetStatus(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    AtaCommandRecord rec;
    TControllerInfo* dev = Device();
    if (Flags().DeviceReady() && dev)
        dev->ReadStatus(rec);
    else
        rec.Result = ATA_NO_DEVICE;
    Answer(reply, COMMAND_OK, RecordBytes(rec));
    ApplyReplyRouting();
}

bool UserClientSocket::WaitForRunningOperation() {
    SharedFlags& flags = Flags();
    const bool ataRunning = ataWorker_ && ataWorker_->Busy();
    const bool scanRunning = services_.scan && services_.scan->ScanRunning();
    if (ataRunning || scanRunning) {
        // The reset ends what runs now; batches that were waiting behind it would run on a
        // drive the technician has just reset, so they go too.
        if (ataWorker_) {
            if (std::size_t dropped = ataWorker_->DiscardQueued())
                host_.AddLogText("The reset dropped " + std::to_string(dropped) +
                                 " waiting ATA command packet(s).");
        }
        flags.SetAbortRequest();
        const auto deadline = std::chrono::steady_clock::now() + resetWaitLimit_;
        while (!flags.OperationStopped()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                // The other thread still drives the channel: the reset answers without
                // touching it rather than race it on the task file.
                host_.AddLogText("The running operation did not stop within " +
                                 std::to_string(resetWaitLimit_.count() / 1000) +
                                 " seconds; the reset goes on without touching the drive.");
                flags.ClearAbortRequest();
                return false;
            }
            Main().ProcessEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    flags.ClearAbortRequest();
    return true;
}

void UserClientSocket::OnCmdAtaReset(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    const bool stopped = WaitForRunningOperation();
    AtaCommandRecord rec;
    rec.Flags = READREGS;
    if (command.flags & kItemFlagNoReadyDrsc)
        rec.Flags |= NOREADYDRSC;
    TControllerInfo* dev = Device();
    if (!stopped) {
        rec.Result = ATA_DEVICE_BUSY;
    } else if (Flags().DeviceReady() && dev) {
        rec.Time = 40000;
        dev->ResetDevice(rec);
    } else {
        rec.Result = ATA_NO_DEVICE;
    }
    if (command.WantsReply()) {
        Answer(reply, COMMAND_OK, RecordBytes(rec));
        ApplyReplyRouting();
    }
}

void UserClientSocket::OnCmdGetIdeList(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    Answer(reply, COMMAND_ERROR);
    ApplyReplyRouting();
}
void UserClientSocket::OnCmdEnableIde(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    Answer(reply, COMMAND_ERROR);
    ApplyReplyRouting();
}
void UserClientSocket::OnCmdDisableIde(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    Answer(reply, COMMAND_ERROR);
    ApplyReplyRouting();
}

// --- restart and power-off -------------------------------------------------------------------

bool UserClientSocket::PowerRequest(bool reboot, std::string& why) {
    if (!services_.power) {
        why = "no power control";
        return false;
    }
    PowerResult r = reboot ? services_.power->Reboot() : services_.power->PowerOff();
    if (!r.ok) {
        why = r.error;
        return false;
    }
    std::string error;
    if (!RegisterRunOnce(CurrentProgram(), dataDir_.dir, &error))
        host_.AddLogText("The client could not be registered to start after the restart: " + error);
    settings_.WasReboot = true;
    if (!SaveRebootFlags(dataDir_.RebootState(), settings_, &error))
        host_.AddLogText("The reboot state could not be saved: " + error);
    return true;
}

void UserClientSocket::OnCmdReboot(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    settings_.Automat = (command.flags & kItemFlagAutomat) != 0;
    std::string why;
    if (PowerRequest(true, why)) {
        Answer(reply, COMMAND_OK);
    } else {
        host_.AddLogText("The computer cannot be restarted: " + why);
        Answer(reply, COMMAND_ERROR);
    }
    ApplyReplyRouting();
}

void UserClientSocket::OnCmdShutdown(const ItemRecord&, ItemRecord& reply, ItemRecord&) {
    std::string why;
    if (PowerRequest(false, why)) {
        Answer(reply, COMMAND_OK);
        reply.flags = 0;
    } else {
        host_.AddLogText("The computer cannot be switched off: " + why);
        Answer(reply, COMMAND_ERROR);
        reply.flags = kShutdownFailedFlags;
    }
    ApplyReplyRouting();
}

// --- work handed on to the services ----------------------------------------------------------

void UserClientSocket::OnCmdScanSurface(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    const bool started =
        services_.scan && services_.scan->StartScan(command.Data(), CurrentSender());
    std::vector<std::uint8_t> why;
    if (!started && services_.scan) {
        // The refusal says why, in the reply's text and in the log.
        const std::string reason = services_.scan->RefusalReason();
        if (!reason.empty()) {
            host_.AddLogText("The surface scan was refused: " + reason);
            why = WireTextZ(reason);
        }
    }
    Answer(reply, started ? COMMAND_OK : COMMAND_ERROR, std::move(why));
    ApplyReplyRouting();
}

void UserClientSocket::OnCmdDisplayMessage(const ItemRecord& command, ItemRecord& reply,
                                           ItemRecord&) {
    if (services_.screens) {
        services_.screens->Display(command, reply, *this);
        return;
    }
    Answer(reply, COMMAND_ERROR);
    ApplyReplyRouting();
}

void UserClientSocket::ComPort(const ItemRecord& command, ItemRecord& reply) {
    if (services_.comPort) {
        services_.comPort->Handle(command, reply, *this);
        return;
    }
    Answer(reply, COMMAND_ERROR);
    ApplyReplyRouting();
}

void UserClientSocket::OnCmdComportGetList(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}
void UserClientSocket::OnCmdComportSetParam(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}
void UserClientSocket::OnCmdComportDoCommand(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}
void UserClientSocket::OnCmdComportSetBaud(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}
void UserClientSocket::OnCmdComportWriteBuffer(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}
void UserClientSocket::OnCmdComportWriteData(const ItemRecord& c, ItemRecord& r, ItemRecord&) {
    ComPort(c, r);
}

// --- key and wizard --------------------------------------------------------------------------

void UserClientSocket::OnCmdSetKey(const ItemRecord& command, ItemRecord& reply, ItemRecord&) {
    auto data = command.Data();
    if (data.size() < kKeyLength) {
        host_.AddLogText("A key of " + std::to_string(data.size()) +
                         " bytes was refused; the connection keeps its key.");
        Answer(reply, COMMAND_ERROR);
        return;
    }
    // The reply to this packet is encoded after the handlers ran, so it already travels
    // under the new key.
    Key key;
    std::copy_n(data.begin(), kKeyLength, key.begin());
    transport_.UseKey(key);
}

void UserClientSocket::OnCmdShowWizardForm(const ItemRecord& command, ItemRecord& reply,
                                           ItemRecord&) {
    std::int32_t result = 0;
    bool ok = false;
    try {
        ok = ShowWizardForm(command.Data(), result);
    } catch (...) {
        ok = false;
    }
    if (ok) {
        std::vector<std::uint8_t> out(4);
        PutI32(out.data(), result);
        Answer(reply, COMMAND_OK, std::move(out));
    } else {
        Answer(reply, COMMAND_ERROR);
    }
    ApplyReplyRouting();
}

} // namespace zkv
