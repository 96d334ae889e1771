// JSON lines given to the inspector's encoder: whatever parses must encode to a stream that
// decodes back to the same packets.
#include "protocol/PacketJson.h"
#include "protocol/WireStream.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zkv;
    static TransportData transport;
    Json j = Json::parse(data, data + size, nullptr, false);
    if (j.is_discarded())
        return 0;
    std::vector<std::uint8_t> stream;
    std::string error;
    if (!EncodeJsonPacket(j, transport, stream, error))
        return 0;
    WireStreamReader reader(stream, transport);
    WireEvent ev;
    if (!reader.Next(ev))
        std::abort();
    if (ev.type != WireEvent::Type::Packet && ev.type != WireEvent::Type::Keepalive)
        std::abort();
    if (reader.Next(ev))
        std::abort();
    return 0;
}
