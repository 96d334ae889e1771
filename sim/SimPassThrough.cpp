#include "sim/SimPassThrough.h"

#include "sim/SimIde.h"

#include <vector>

namespace zkv {
namespace {

constexpr std::uint8_t BSY = 0x80, DF = 0x20, DRQ = 0x08, ERR = 0x01;

bool CarriedProtocol(PassThroughProtocol p) {
    switch (p) {
    case PassThroughProtocol::NonData:
    case PassThroughProtocol::PioDataIn:
    case PassThroughProtocol::PioDataOut:
    case PassThroughProtocol::Dma:
    case PassThroughProtocol::UdmaDataIn:
    case PassThroughProtocol::UdmaDataOut:
    case PassThroughProtocol::Fpdma:
        return true;
    default:
        return false;
    }
}

// Fixed-format ILLEGAL REQUEST, INVALID FIELD IN CDB, as libata answers a refused command.
std::vector<std::uint8_t> RefusalSense() {
    std::vector<std::uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = 0x05;
    s[7] = 0x0A;
    s[12] = 0x24;
    return s;
}

// Descriptor-format sense with the ATA Status Return descriptor.
std::vector<std::uint8_t> RegisterSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq,
                                        const AtaOutputRegisters& r) {
    std::vector<std::uint8_t> s = {0x72,
                                   key,
                                   asc,
                                   ascq,
                                   0,
                                   0,
                                   0,
                                   14,
                                   0x09,
                                   0x0C,
                                   static_cast<std::uint8_t>(r.extend ? 1 : 0),
                                   r.error,
                                   r.countPrev,
                                   r.count,
                                   r.lbaLowPrev,
                                   r.lbaLow,
                                   r.lbaMidPrev,
                                   r.lbaMid,
                                   r.lbaHighPrev,
                                   r.lbaHigh,
                                   r.device,
                                   r.status};
    return s;
}

} // namespace

SimPassThrough::SimPassThrough(SimIdeHardware& hw, std::size_t channel, bool slave)
    : hw_(hw), clock_(hw.Clock()), cmdBase_(hw.Channel(channel).Config().commandBlock),
      ctlBase_(hw.Channel(channel).Config().controlBlock), slave_(slave) {}

std::uint8_t SimPassThrough::In(int reg) {
    return static_cast<std::uint8_t>(hw_.ReadByte(static_cast<std::uint16_t>(cmdBase_ + reg)));
}
void SimPassThrough::Out(int reg, std::uint8_t v) {
    hw_.WriteByte(static_cast<std::uint16_t>(cmdBase_ + reg), v);
}
std::uint8_t SimPassThrough::AltStatus() {
    return static_cast<std::uint8_t>(hw_.ReadByte(ctlBase_));
}
void SimPassThrough::Control(std::uint8_t v) {
    hw_.WriteByte(ctlBase_, v);
}

bool SimPassThrough::WaitNotBusy(std::uint64_t deadline, std::uint8_t& status) {
    for (;;) {
        status = AltStatus();
        if (!(status & BSY))
            return true;
        if (clock_.Now() >= deadline)
            return false;
        // A host adapter is told by an interrupt; 50 us steps keep the virtual clock cheap.
        clock_.Spin(clock_.TicksPerSecond() / 20'000);
    }
}

AtaPassThroughResult SimPassThrough::Execute(const AtaPassThroughCommand& cmd) {
    using Outcome = AtaPassThroughResult::Outcome;
    AtaPassThroughResult res;
    if (!PassThroughCommandValid(cmd, res.detail)) {
        res.outcome = Outcome::Refused;
        return res;
    }
    const AtaTaskFile& t = cmd.regs;
    if (!CarriedProtocol(cmd.protocol) || (t.command == 0xEF && t.feature == 0x03) ||
        (t.command >= 0x5C && t.command <= 0x5F)) {
        res.outcome = Outcome::Refused;
        res.scsiStatus = 0x02;
        res.senseBytes = RefusalSense();
        res.sense = ParseAtaSense(res.senseBytes);
        res.detail = "refused by the kernel (ILLEGAL REQUEST, ASC 36/0)";
        return res;
    }
    std::uint64_t start = clock_.Now();
    std::uint64_t deadline = start + cmd.timeoutMs * (clock_.TicksPerSecond() / 1000);
    auto timedOut = [&] {
        res.outcome = Outcome::TimedOut;
        res.detail = "no completion within " + std::to_string(cmd.timeoutMs) + " ms";
        std::string why;
        ResetDevice(why);
        return res;
    };
    std::uint8_t st = 0;
    Control(0x00);
    if (!WaitNotBusy(deadline, st))
        return timedOut();
    Out(6, static_cast<std::uint8_t>((t.device & ~0x10) | (slave_ ? 0x10 : 0x00)));
    if (!WaitNotBusy(deadline, st))
        return timedOut();
    if (cmd.ext) {
        Out(1, t.featurePrev);
        Out(2, t.countPrev);
        Out(3, t.lbaLowPrev);
        Out(4, t.lbaMidPrev);
        Out(5, t.lbaHighPrev);
    }
    Out(1, t.feature);
    Out(2, t.count);
    Out(3, t.lbaLow);
    Out(4, t.lbaMid);
    Out(5, t.lbaHigh);
    Out(7, t.command);
    ++sent_;
    // Data in DRQ blocks of one sector until the buffer is full or the device stops asking.
    std::size_t pos = 0;
    for (;;) {
        clock_.Spin(1); // the device's 400 ns before the status is valid
        if (!WaitNotBusy(deadline, st))
            return timedOut();
        if (!(st & DRQ) || (st & ERR) || pos >= cmd.data.size())
            break;
        auto* words = reinterpret_cast<std::uint16_t*>(cmd.data.data() + pos);
        if (cmd.direction == PassThroughDirection::In)
            hw_.ReadWords(cmdBase_, words, 256);
        else if (cmd.direction == PassThroughDirection::Out)
            hw_.WriteWords(cmdBase_, words, 256);
        else
            break;
        pos += 512;
    }
    res.transferred = pos;
    AtaOutputRegisters r;
    r.status = In(7);
    r.error = In(1);
    r.count = In(2);
    r.lbaLow = In(3);
    r.lbaMid = In(4);
    r.lbaHigh = In(5);
    r.device = In(6);
    if (cmd.ext) {
        Control(0x80); // HOB: the previous content
        r.countPrev = In(2);
        r.lbaLowPrev = In(3);
        r.lbaMidPrev = In(4);
        r.lbaHighPrev = In(5);
        Control(0x00);
        r.extend = true;
        r.countPrevNonZero = r.countPrev != 0;
        r.lbaPrevNonZero = (r.lbaLowPrev | r.lbaMidPrev | r.lbaHighPrev) != 0;
    }
    res.durationMs =
        static_cast<std::uint32_t>((clock_.Now() - start) / (clock_.TicksPerSecond() / 1000));
    bool failed = (r.status & (ERR | DF)) != 0;
    if (failed) {
        res.outcome = Outcome::DeviceError;
        res.scsiStatus = 0x02;
        res.senseBytes = RegisterSense(0x0B, 0x00, 0x00, r);
        res.detail = "device error: status " + std::to_string(r.status) + " error " +
                     std::to_string(r.error);
    } else {
        res.outcome = Outcome::Completed;
        if (cmd.checkCondition && cmd.protocol != PassThroughProtocol::PioDataIn) {
            res.scsiStatus = 0x02;
            res.senseBytes = RegisterSense(0x01, 0x00, 0x1D, r);
        }
    }
    if (!res.senseBytes.empty()) {
        res.sense = ParseAtaSense(res.senseBytes);
        res.driverStatus = 0x08; // DRIVER_SENSE
    }
    return res;
}

bool SimPassThrough::ResetDevice(std::string& why) {
    Control(0x04);
    clock_.Spin(clock_.TicksPerSecond() / 100'000); // 10 us with SRST set
    Control(0x00);
    clock_.Spin(clock_.TicksPerSecond() / 500); // 2 ms before the status is looked at
    std::uint8_t st = 0;
    std::uint64_t deadline = clock_.Now() + 31 * clock_.TicksPerSecond();
    if (!WaitNotBusy(deadline, st)) {
        why = "the device stayed busy after the reset";
        return false;
    }
    return true;
}

} // namespace zkv
