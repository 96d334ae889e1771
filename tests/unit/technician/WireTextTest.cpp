// Texts on the wire are Windows-1252: what the technician sends is shown as the characters it
// meant, what goes back is encoded the same way, and every byte survives the way there and back.
#include "agent/UserClientSocket.h"
#include "support/CodePage.h"
#include "tests/support/ClientHarness.h"
#include "tests/unit/scan/ScanSupport.h"
#include "tests/unit/technician/TechFixture.h"

#include <gtest/gtest.h>

namespace zkv {
namespace {

using namespace test;

TEST(WireText, EveryByteRoundTripsAndTechnicianTextsCrossInTheCodePage) {
    std::string every;
    for (int b = 1; b < 256; ++b)
        every += static_cast<char>(b);
    EXPECT_EQ(Utf8ToWire(WireToUtf8(every)), every);
    EXPECT_EQ(WireToUtf8(std::string_view("\x80\x81\x9D\xE9\xFF")),
              "\u20AC\u0081\u009D\u00E9\u00FF");
    // Not in the code page, and not UTF-8 at all: a question mark each.
    EXPECT_EQ(Utf8ToWire("\u0416 \u20AC \xFF"), "? \x80 ?");

    // A technician's log line and a refused scan through the engine's handlers.
    ScanLab lab(Disk());
    LogHost host;
    UserInfo user;
    ClientSettings settings;
    TransportData transport;
    TempDir dir;
    UserClientSocket engine{host, user, settings, DataDirectory{dir.Path()}, transport};
    engine.SetServices({nullptr, &lab.service});
    const std::vector<std::uint8_t> line = {'C', 'a', 'f', 0xE9, ' ', 0x80, ' ', 0x81, 0};
    auto params = Params(static_cast<std::int32_t>(kScanLimit28) - 8, 16).Encode();
    auto p = Batch({{CMD_SHOW_LOG, line},
                    {CMD_SCAN_SURFACE, std::vector<std::uint8_t>(params.begin(), params.end())}},
                   1, 0);
    PacketRecord reply, followUp;
    engine.ProcessCommandPacket(*p, reply, followUp);
    ASSERT_FALSE(host.log.empty());
    EXPECT_EQ(host.log[0], "Caf\u00E9 \u20AC \u0081");
    auto items = Items(reply);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].code, COMMAND_ERROR);
    const std::string text(items[1].data.begin(), items[1].data.end());
    EXPECT_EQ(text, std::string("") + lab.service.RefusalReason() + '\0');
    EXPECT_NE(text.find("48-bit"), std::string::npos);
    EXPECT_EQ(host.log.back(), "The surface scan was refused: " + lab.service.RefusalReason());
    EXPECT_FALSE(lab.service.ScanRunning());
}

} // namespace
} // namespace zkv
