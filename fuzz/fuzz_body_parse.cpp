// Plain bodies straight from the network: parse, walk, re-serialize, and run through the
// processor's command and reply paths.
#include "protocol/Packet.h"
#include "protocol/UniSocket.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zkv;
    PacketRecord p;
    p.body.assign(data, data + size);
    p.header.plainLength = static_cast<std::int32_t>(size);
    PacketConverter c(p);
    if (c.GetStatus() == 0) {
        std::size_t total = 4;
        while (const ItemRecord* item = c.NextItem()) {
            auto d = item->Data();
            if (!d.empty() &&
                (d.data() < p.body.data() || d.data() + d.size() > p.body.data() + size))
                std::abort();
            total += 20 + d.size();
        }
        if (total != size)
            std::abort();
        // Re-serializing a parsed list gives back the same body except the count field.
        PacketConverter copy;
        for (std::size_t i = 0; i < c.Count(); ++i) {
            const ItemRecord* src = c.Item(i);
            ItemRecord item(src->code, src->flags);
            item.echo = src->echo;
            item.reserved = src->reserved;
            item.SetData(std::vector<std::uint8_t>(src->Data().begin(), src->Data().end()));
            copy.AddItem(std::move(item));
        }
        PacketRecord q;
        if (copy.SerializeInto(q) == 0 &&
            (q.body.size() != size || std::memcmp(q.body.data() + 4, data + 4, size - 4) != 0))
            std::abort();
    }
    UniSocket s;
    PacketRecord reply, follow;
    s.ProcessCommandPacket(p, reply, follow);
    auto pending = std::make_unique<PacketConverter>();
    for (int i = 0; i < 4; ++i)
        pending->AddItem(ItemRecord(i, static_cast<std::uint32_t>(i & 1)));
    s.SetPendingCommands(std::move(pending));
    PacketRecord follow2;
    s.ProcessReplyPacket(p, follow2);
    return 0;
}
