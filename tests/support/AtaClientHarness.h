// The test client with the ATA worker beside its engine, on a channel of this process: the
// engine hands ATA packets to the worker, the worker's calls to the window run on `main` (the
// test pumps it), and the replies go out through the client's framing.
#pragma once

#include "agent/FixedChannelService.h"
#include "ata/AtaThread.h"
#include "platform/QueuedMainThread.h"
#include "tests/support/ClientHarness.h"

#include <filesystem>
#include <memory>
#include <string_view>

namespace zkv::test {

class AtaClientHarness : public ClientHarness, public IAtaWorkerHost {
public:
    AtaClientHarness(std::filesystem::path dataDir, THDCDevice* dev, AtaGlobals& g, SharedFlags& f)
        : ClientHarness(std::move(dataDir)), worker(
                                                 *this, [dev] { return dev; }, main, g, f) {
        channel.SetDevice(dev);
        socket->SetServices({&channel});
        socket->SetMainThread(&main);
        socket->SetSharedFlags(&f);
        socket->SetAtaWorker(&worker);
    }
    ~AtaClientHarness() override { worker.Stop(); }

    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) override {
        worker.Deliver(std::move(packet));
        return true;
    }
    bool SendAtaReply(PacketRecord& reply) override { return SendPacket(reply); }
    void AtaLog(std::string_view text) override { log.emplace_back(text); }

    QueuedMainThread main;
    FixedChannelService channel;
    ATAThread worker;
};

} // namespace zkv::test
