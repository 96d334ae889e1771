// Captured streams as the inspector reads them, including the JSON it prints for each event.
#include "protocol/PacketJson.h"
#include "protocol/WireStream.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zkv;
    static TransportData transport;
    WireStreamReader reader({data, size}, transport);
    WireEvent ev;
    std::size_t last = 0;
    int events = 0;
    while (reader.Next(ev)) {
        if (events++ && ev.offset <= last)
            std::abort(); // the reader must always move forward
        last = ev.offset;
        (void)WireEventToJson(ev).dump();
    }
    return 0;
}
