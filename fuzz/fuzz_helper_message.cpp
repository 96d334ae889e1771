// Any bytes as a frame of the disk helper's protocol, decoded by every decoder of the helper and
// of the client: each must refuse or accept within the bounds, and what a decoder accepts must
// encode back to the same bytes (apart from the clamps the batch decoder applies).
#include "helper/HelperProtocol.h"

#include <cstdlib>

using namespace zkv;
using namespace zkv::helper;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> in(data, size);
    Frame f;
    if (DecodeFrame(in, f) &&
        EncodeFrame(f.type, f.payload) != std::vector<std::uint8_t>(in.begin(), in.end()))
        std::abort();

    std::uint16_t version = 0;
    if (DecodeHello(in, version) &&
        EncodeHello(version) != std::vector<std::uint8_t>(in.begin(), in.end()))
        std::abort();
    std::string key;
    if (DecodeKey(in, key) && (key.empty() || key.size() > kMaxKey))
        std::abort();
    std::vector<ListEntry> list;
    if (DecodeList(in, list) && EncodeList(list) != std::vector<std::uint8_t>(in.begin(), in.end()))
        std::abort();
    bool slave = false;
    if (DecodeStatusRequest(in, key, slave) &&
        EncodeStatusRequest(key, slave) != std::vector<std::uint8_t>(in.begin(), in.end()))
        std::abort();
    ChannelReply c;
    if (DecodeChannelReply(in, c) && c.message.size() > kMaxText)
        std::abort();

    BatchRequest batch;
    std::string why;
    if (DecodeBatch(in, batch, why)) {
        std::uint64_t total = 0;
        for (const BatchEntry& e : batch.entries) {
            if (e.rec.Time < 0 || e.rec.Time > kMaxCommandTime ||
                e.rec.RepeatCnt > kMaxRepeatCount || e.rec.DataLen < 0 ||
                static_cast<std::uint32_t>(e.rec.DataLen) > kMaxCommandData)
                std::abort();
            total += e.rec.Buffer.size();
        }
        if (batch.entries.size() > kMaxBatchEntries || total > kMaxBatchData)
            std::abort();
        // Encoded again, the decoded batch decodes to the same entries.
        BatchRequest again;
        if (!DecodeBatch(EncodeBatch(batch), again, why) ||
            again.entries.size() != batch.entries.size())
            std::abort();
    } else if (why.empty()) {
        std::abort();
    }

    BatchReply reply;
    if (DecodeBatchReply(in, reply)) {
        for (const BatchResult& r : reply.results) {
            AtaCommandRecord rec;
            std::vector<std::vector<std::uint8_t>> traces;
            DecodeCommandResult(r.bytes, rec, &traces);
        }
        if (EncodeBatchReply(reply) != std::vector<std::uint8_t>(in.begin(), in.end()))
            std::abort();
    }
    AtaCommandRecord rec;
    DecodeCommandResult(in, rec);
    std::uint16_t code = 0;
    std::string message;
    DecodeError(in, code, message);
    return 0;
}
