// Sense data from a pass-through device: any bytes, any length.
#include "platform/AtaPassThrough.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zkv::AtaSense s = zkv::ParseAtaSense(std::span(data, size));
    // Registers are only ever reported from a format that carries them.
    if (s.hasRegisters && s.format == zkv::AtaSense::Format::None)
        std::abort();
    return 0;
}
