// Received bodies: decrypt, inflate and check the size. The first byte chooses between raw
// ciphertext (mode 0) and a body the fuzzer shapes in the clear, encrypted here before decoding,
// so that inflation itself is reached.
#include "protocol/Blowfish.h"
#include "protocol/Packet.h"
#include "protocol/TransportData.h"
#include "support/ByteOrder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zkv;
    if (size < 5)
        return 0;
    static TransportData transport;
    static CBlowfish cipher = [] {
        CBlowfish c;
        c.SetKey(kBuiltinKey.data(), kBuiltinKey.size());
        return c;
    }();
    const bool shaped = data[0] & 1;
    // Plain lengths are kept small so the fuzzer spends its time on the decoder, not on memory.
    std::int32_t plain = static_cast<std::int32_t>(GetU32(data + 1) % (1 << 20)) - 16;
    PacketRecord p;
    p.body.assign(data + 5, data + size);
    p.body.resize((p.body.size() + 7) / 8 * 8, 0);
    if (shaped)
        cipher.EncryptEcb(p.body.data(), p.body.size());
    p.header.wireLength = static_cast<std::int32_t>(p.body.size());
    p.header.plainLength = plain;
    DecodeResult r = transport.Decode(p);
    if (r == DecodeResult::Ok && p.body.size() != static_cast<std::size_t>(plain))
        std::abort();
    if (r != DecodeResult::Ok && !p.body.empty())
        std::abort();
    return 0;
}
