#include "agent/ComPortBridge.h"

#include "support/ByteOrder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace zkv {

namespace {

struct SpeedStep {
    const char* command;
    std::int32_t baud;
};
constexpr SpeedStep kSpeeds[] = {{"B96", 9600}, {"B192", 19200}, {"B576", 57600}, {"B115", 115200}};

void Answer(ItemRecord& reply, std::int32_t status) {
    reply.code = status;
    reply.SetData({});
}

} // namespace

const char* SpeedCommandText(std::int32_t index) {
    return index >= 0 && index < 4 ? kSpeeds[index].command : nullptr;
}

std::int32_t SpeedOfIndex(std::int32_t index) {
    return index >= 0 && index < 4 ? kSpeeds[index].baud : 0;
}

std::string BufferAddressLine(std::int32_t buffer) {
    // The address wraps at 32 bits like the terminal's own arithmetic.
    const std::uint32_t a = static_cast<std::uint32_t>(buffer) * 512u;
    char line[16];
    std::snprintf(line, sizeof line, "U%04X,%04X\r", static_cast<unsigned>(a >> 16),
                  static_cast<unsigned>(a & 0xFFFF));
    return line;
}

// Indexed by code - CMD_COMPORT_GET_LIST; CMD_COMPORT_SHOW_DATA (44) is the client's own
// message and not a command here.
const ComPortBridge::Handler ComPortBridge::kHandlers[7] = {
    &ComPortBridge::GetList, &ComPortBridge::SetParam,    &ComPortBridge::DoCommand, nullptr,
    &ComPortBridge::SetBaud, &ComPortBridge::WriteBuffer, &ComPortBridge::WriteData,
};

ComPortBridge::ComPortBridge(ISerialPort& port, ComPortPauses pauses)
    : port_(port), pauses_(pauses) {
    port_.SetListener(this);
}

ComPortBridge::~ComPortBridge() {
    port_.SetListener(nullptr);
}

void ComPortBridge::Handle(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) {
    link_ = &link;
    const std::int32_t slot = command.code - CMD_COMPORT_GET_LIST;
    if (slot >= 0 && slot < 7 && kHandlers[slot]) {
        (this->*kHandlers[slot])(command, reply, link);
        return;
    }
    if (command.WantsReply())
        Answer(reply, UNKNOWN_COMMAND);
}

void ComPortBridge::Close() {
    port_.Close();
    crTrigger_ = promptTrigger_ = timerTrigger_ = 0;
    ResetTerminalState();
}

void ComPortBridge::ResetTerminalState() {
    switching_ = false;
    step_ = 0;
    speedIndex_ = 0;
    eventInProgress_ = false;
    EndWrite();
    accumulator_.clear();
}

void ComPortBridge::Pause(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// --- commands -----------------------------------------------------------------------------------

void ComPortBridge::GetList(const ItemRecord&, ItemRecord& reply, ITechnicianLink&) {
    std::vector<std::int32_t> ports;
    for (int n = 1; n <= kMaxSerialPorts; ++n)
        if (port_.Available(n))
            ports.push_back(n);
    if (ports.empty()) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    std::vector<std::uint8_t> data;
    ByteWriter w(data);
    w.I32(static_cast<std::int32_t>(ports.size()));
    for (std::int32_t p : ports)
        w.I32(p);
    w.I32(settings_.baud);
    w.I32(settings_.stopBits);
    w.I32(settings_.dataBits);
    w.I32(settings_.parity);
    w.I32(settings_.softwareFlow);
    w.I32(port_.IsOpen() ? 1 : 0);
    reply.code = COMMAND_OK;
    reply.SetData(std::move(data));
}

void ComPortBridge::SetParam(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) {
    link.ApplyReplyRouting();
    ByteReader r(command.Data());
    std::int32_t number, baud, stop, bits, parity, unused, open;
    if (!(r.I32(number) && r.I32(baud) && r.I32(stop) && r.I32(bits) && r.I32(parity) &&
          r.I32(unused) && r.I32(open))) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    Close();
    SerialSettings s = settings_;
    s.baud = baud;
    s.stopBits = stop;
    s.dataBits = bits;
    s.parity = parity;
    if (!SerialSettingsValid(s)) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    settings_ = s;
    portNumber_ = number;
    if (open != 0) {
        if (port_.Open(number, settings_)) {
            crTrigger_ = port_.AddDataTrigger("\r");
            promptTrigger_ = port_.AddDataTrigger(">");
            timerTrigger_ = port_.AddTimerTrigger();
        }
        if (!port_.IsOpen() || !crTrigger_ || !promptTrigger_ || !timerTrigger_) {
            Close();
            Answer(reply, COMMAND_ERROR);
            return;
        }
    }
    Answer(reply, COMMAND_OK);
}

void ComPortBridge::DoCommand(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) {
    link.ApplyReplyRouting();
    auto data = command.Data();
    if (data.size() < 8) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    // The text ends at its terminator, or with the data when the terminator is missing.
    auto text = data.subspan(8);
    auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
    std::string typed(text.begin(), end);
    const bool written = !typed.empty() && port_.Write(typed);
    Answer(reply, written ? COMMAND_OK : COMMAND_ERROR);
    EndWrite();
}

void ComPortBridge::SetBaud(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) {
    link.ApplyReplyRouting();
    ByteReader r(command.Data());
    std::int32_t index;
    if (!r.I32(index) || !port_.IsOpen()) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    speedIndex_ = index;
    switching_ = true;
    step_ = 1;
    Answer(reply, COMMAND_OK);
    // The timer belongs to the switch from now on (a write may have started it).
    port_.SetTimerTrigger(timerTrigger_, 0, false);

    // Wake the terminal: a carriage return, and see what comes back.
    port_.WriteChar('\r');
    std::size_t got = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(pauses_.collectMs);
    while (got < 4) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        if (port_.WaitForChars(static_cast<int>(left)) > 0)
            got += port_.Read(4 - got).size();
    }
    // Four characters: a prompt at some level, go to the top one. Nothing: the terminal is
    // off, Ctrl-Z turns it on. Anything else: leave it.
    if (got == 4)
        port_.Write("/\r");
    else if (got == 0)
        port_.WriteChar(26);
}

void ComPortBridge::WriteBuffer(const ItemRecord& command, ItemRecord& reply,
                                ITechnicianLink& link) {
    link.ApplyReplyRouting();
    auto data = command.Data();
    ByteReader r(data);
    std::int32_t buffer, value;
    if (!r.I32(buffer) || !r.I32(value) || !port_.IsOpen() ||
        data.size() - 8 > kMaxBufferWriteBytes) {
        Answer(reply, COMMAND_ERROR);
        return;
    }
    Answer(reply, COMMAND_OK);
    bufferNumber_ = buffer;
    bufferValue_ = value;
    bytes_.assign(data.begin() + 8, data.end());
    next_ = 0;
    left_ = bytes_.size();
    writing_ = true;
    port_.Write(BufferAddressLine(buffer));
    // A terminal that stops prompting must not hold the write (and hide its text) for ever.
    if (!switching_)
        port_.SetTimerTrigger(timerTrigger_, kSwitchTimerTicks, true);
}

void ComPortBridge::WriteData(const ItemRecord&, ItemRecord&, ITechnicianLink&) {
    // Accepted and ignored; the item goes back untouched.
}

// --- the port's events --------------------------------------------------------------------------

void ComPortBridge::OnCharsAvailable(std::size_t count) {
    accumulator_ += port_.Read(count);
    if (accumulator_.size() < kForwardThreshold)
        return;
    if (!switching_ && !writing_) {
        Forward();
        accumulator_.clear();
    } else if (accumulator_.size() > kSerialInputLimit) {
        // Nothing is forwarded during a switch or a write: keep only the latest text.
        accumulator_.erase(0, accumulator_.size() - kSerialInputLimit);
    }
}

void ComPortBridge::OnDataTrigger(int handle) {
    if (handle != crTrigger_ && handle != promptTrigger_)
        return;
    accumulator_ += port_.Read(port_.CharsReady());
    if (!accumulator_.empty()) {
        if (switching_) {
            // Guards against an event delivered while the previous one is still at work.
            if (eventInProgress_) {
                eventInProgress_ = false;
                return;
            }
            eventInProgress_ = true;
            if (step_ == 1) {
                TypeSpeedCommand();
            } else {
                EndSwitch(step_ == 2);
                Forward();
            }
        } else if (writing_) {
            if (left_ > 0) {
                if (accumulator_.find("-->") != std::string::npos) {
                    char entry[4];
                    std::snprintf(entry, sizeof entry, "%02X\n", bytes_[next_]);
                    port_.Write(entry);
                    ++next_;
                    --left_;
                    port_.SetTimerTrigger(timerTrigger_, kSwitchTimerTicks, true);
                }
            } else {
                port_.WriteChar('\r');
                EndWrite();
                port_.SetTimerTrigger(timerTrigger_, 0, false);
                accumulator_ = kWriteFinishedText;
                Forward();
            }
        } else {
            Forward();
        }
    }
    accumulator_.clear();
    eventInProgress_ = false;
}

void ComPortBridge::OnTimerTrigger(int handle) {
    if (handle != timerTrigger_)
        return;
    if (switching_) {
        EndSwitch(false);
        Forward();
        accumulator_.clear();
    }
    EndWrite();
}

void ComPortBridge::TypeSpeedCommand() {
    if (const char* cmd = SpeedCommandText(speedIndex_)) {
        for (const char* c = cmd; *c; ++c) {
            if (c != cmd)
                Pause(pauses_.charGapMs);
            port_.WriteChar(*c);
        }
        Pause(pauses_.afterCommandMs);
        if (port_.SetBaud(SpeedOfIndex(speedIndex_)))
            settings_.baud = SpeedOfIndex(speedIndex_);
    }
    // What came so far (the echo of the command, events of the wake-up answer) belongs to the
    // old speed; only an answer to the carriage returns below may end the switch.
    port_.FlushInput();
    Pause(pauses_.beforeWakeMs);
    port_.WriteChar('\r');
    Pause(pauses_.charGapMs);
    port_.WriteChar('\r');
    Pause(pauses_.charGapMs);
    port_.SetTimerTrigger(timerTrigger_, kSwitchTimerTicks, true);
    step_ = 2;
}

void ComPortBridge::EndSwitch(bool ok) {
    switching_ = false;
    step_ = 0;
    speedIndex_ = 0;
    accumulator_ = ok ? kSwitchOkText : kSwitchErrorText;
    eventInProgress_ = false;
    if (ok)
        port_.SetTimerTrigger(timerTrigger_, 0, false);
}

void ComPortBridge::EndWrite() {
    writing_ = false;
    bytes_.clear();
    bytes_.shrink_to_fit();
    next_ = left_ = 0;
}

void ComPortBridge::Forward() {
    if (accumulator_.empty() || !link_)
        return;
    // The message is a zero-terminated text: a NUL from the line would cut it short.
    std::vector<std::uint8_t> data;
    data.reserve(accumulator_.size() + 1);
    for (char c : accumulator_)
        if (c != '\0')
            data.push_back(static_cast<std::uint8_t>(c));
    data.push_back(0);
    link_->SendToTechnician(CMD_COMPORT_SHOW_DATA, data);
}

} // namespace zkv
