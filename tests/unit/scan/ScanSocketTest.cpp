// Scan results over the client's real framing and a socket, read by the far end as packets.
#include "ScanSupport.h"

#include "tests/support/ClientHarness.h"
#include "tests/support/Peer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

namespace zkv {
namespace {

// The client side of CMD_SHOW_SCAN: one item, flags 0, echo 0, addressed FOR_ONE to the
// technician, sent through the framing.
class FramingLink final : public ITechnicianLink {
public:
    FramingLink(Framing& f, std::int32_t dest) : framing_(f), dest_(dest) {}
    void ApplyReplyRouting() override {}
    bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) override {
        PacketConverter list;
        ItemRecord item(code);
        item.SetData(std::vector<std::uint8_t>(data.begin(), data.end()));
        list.AddItem(std::move(item));
        PacketRecord p;
        list.SerializeInto(p);
        p.header.kind = COMMAND_PACKET;
        p.header.senderRole = 2;
        p.header.addresseeRole = 6;
        p.header.delivery = FOR_ONE;
        p.header.destinationId = dest_;
        return framing_.SendPacket(p);
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return dest_; }

private:
    Framing& framing_;
    std::int32_t dest_;
};

TEST(ScanOverSocket, TechnicianReceivesShowScanInRhythm) {
    test::TempDir dir;
    test::ClientHarness client(dir.Path());
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client.Adopt(fds[0]);
    test::Peer technician(fds[1]);

    SimDeviceConfig d = test::Disk();
    d.defects = {{3000, SimDefectKind::UNC}};
    test::ScanLab s(d);
    FramingLink link(*client.framing, 4242);
    s.service.SetLink(&link);
    struct Slices : IScanObserver {
        int n = 0;
        void BatchDone() override { ++n; }
    } slices;
    s.service.SetObserver(&slices);
    ScanSurfaceParams p = test::Params(0, 256 * 30);
    p.sliceMs = 1;
    p.reportPeriod = 1; // every second slice
    ASSERT_TRUE(s.service.StartScan(p.Encode(), 4242));
    ASSERT_TRUE(s.service.WaitForEnd(std::chrono::seconds(30)));

    const std::size_t expected = static_cast<std::size_t>((slices.n + 1) / 2);
    ASSERT_GE(expected, 3u);
    TransportData builtin;
    auto events = technician.Read(builtin, expected);
    ASSERT_EQ(events.size(), expected);
    std::int64_t sectors = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_EQ(events[i].type, WireEvent::Type::Packet);
        EXPECT_EQ(+events[i].packet.header.destinationId, 4242);
        PacketConverter items(events[i].packet);
        ASSERT_EQ(items.Count(), 1u);
        ASSERT_EQ(items.Item(0)->code, CMD_SHOW_SCAN);
        auto data = items.Item(0)->Data();
        ASSERT_EQ((data.size() - 1) % 36, 0u);
        EXPECT_EQ(data[0], i + 1 == events.size() ? 1 : 0);
        for (std::size_t at = 1; at < data.size(); at += 36)
            sectors += ScanSurfaceResult::DecodeFrom(data.data() + at).sectors;
    }
    EXPECT_EQ(sectors, 256 * 30);
}

} // namespace
} // namespace zkv
