// The simulated hardware description loader on any text: a readable error or a usable lab.
#include "sim/SimHardwareJson.h"

#include <stdexcept>
#include <string>

using namespace zkv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        SimHardwareConfig cfg = ParseSimHardware(text);
        for (SimChannelConfig& ch : cfg.channels) {
            ch.master.image.clear(); // never open files named by the input
            ch.slave.image.clear();
            ch.master.sectors &= 0xFFFFFF;
            ch.slave.sectors &= 0xFFFFFF;
        }
        if (cfg.channels.size() > 8)
            return 0;
        SimIdeHardware hw(cfg);
        hw.ReadByte(0x1F7);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
