// Pieces the technician tests share: ATA items, a recording worker host, a logging engine host,
// reply parsing.
#pragma once

#include "agent/UserClientSocket.h"
#include "ata/AtaThread.h"
#include "platform/QueuedMainThread.h"
#include "support/ByteOrder.h"
#include "tests/unit/ata/SimFixture.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace zkv::test {

// The engine's host with nothing behind it: what it logs is kept, packets are taken as sent.
struct LogHost : IUserClientHost {
    void AddLogText(std::string_view t) override { log.emplace_back(t); }
    void AddLogTextBold(std::string_view t) override { log.emplace_back(t); }
    void ShowMessage(std::string_view) override {}
    void SetNoReconnect(bool) override {}
    void CloseConnection() override {}
    void StopPingTimer() override {}
    bool SendPacket(PacketRecord&) override { return true; }
    std::vector<std::string> log;
};

inline std::vector<std::uint8_t> AtaItemData(const AtaCommandRecord& r,
                                             const std::vector<std::uint8_t>& trailing = {}) {
    std::vector<std::uint8_t> d(AtaCommandRecord::kSize + trailing.size());
    r.EncodeTo(d.data());
    std::copy(trailing.begin(), trailing.end(), d.begin() + AtaCommandRecord::kSize);
    return d;
}

inline AtaCommandRecord ReadCmd(std::uint64_t lba, std::uint32_t fl = RESETENABLE | READREGS,
                                int time = 2000) {
    AtaCommandRecord r = Lab::Rw(0x20, lba, 1, fl, time);
    r.Protocol = PR_PIO_READ;
    r.DataLen = 512;
    return r;
}

// A packet of items (all asking for a reply unless `flags` says otherwise), ATA flag set.
inline std::unique_ptr<PacketRecord>
Batch(const std::vector<std::pair<int, std::vector<std::uint8_t>>>& items,
      std::uint32_t exchange = 1, std::uint32_t headerFlags = kPacketFlagAta) {
    PacketConverter list;
    for (const auto& [code, data] : items) {
        ItemRecord it(code, kItemFlagWantsReply);
        it.SetData(data);
        list.AddItem(std::move(it));
    }
    auto p = std::make_unique<PacketRecord>();
    list.SerializeInto(*p);
    p->header.senderRole = static_cast<std::uint8_t>(Role::TECH);
    p->header.addresseeRole = static_cast<std::uint8_t>(Role::CLIENT);
    p->header.flags = headerFlags;
    p->header.exchangeId = exchange;
    p->header.senderId = 4242;
    return p;
}

struct RecordingWorkerHost : IAtaWorkerHost {
    bool SendAtaReply(PacketRecord& reply) override {
        std::lock_guard g(lock);
        replies.push_back(reply);
        return true;
    }
    void AtaLog(std::string_view text) override {
        std::lock_guard g(lock);
        log.emplace_back(text);
    }
    void AtaProgressStep(int p) override { progress.push_back(p); }
    std::size_t Replies() {
        std::lock_guard g(lock);
        return replies.size();
    }
    std::mutex lock;
    std::vector<PacketRecord> replies;
    std::vector<std::string> log;
    std::vector<int> progress;
};

// Items of a reply packet: code and data.
struct ReplyItem {
    std::int32_t code;
    std::uint32_t flags;
    std::vector<std::uint8_t> data;
};
inline std::vector<ReplyItem> Items(const PacketRecord& p) {
    std::vector<ReplyItem> out;
    PacketConverter list(p);
    while (const ItemRecord* it = list.NextItem())
        out.push_back({it->code, it->flags, {it->Data().begin(), it->Data().end()}});
    return out;
}
inline AtaCommandRecord RecordOf(const ReplyItem& it) {
    AtaCommandRecord r;
    r.Decode(it.data);
    return r;
}

// Handles the main thread's calls until `done` or the time-out.
template <class F> bool RunUntil(QueuedMainThread& main, F done, std::chrono::milliseconds t) {
    const auto end = std::chrono::steady_clock::now() + t;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        main.WaitForCalls(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace zkv::test
