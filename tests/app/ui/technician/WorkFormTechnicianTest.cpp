// The real window against the service stand-in: an ATA batch and a wizard screen reach the
// window's ATA worker on the simulated disk of --hardware sim:FILE, the replies come back
// through the window's socket, --unattended answers the question and logs it, and the
// register poll shows the drive's status on the lamps. A surface scan started by the technician
// sends its results in CMD_SHOW_SCAN packets while the scan view fills.
#include "app/Pictures.h"
#include "support/ByteOrder.h"
#include "support/SharedFlags.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/ServiceStandIn.h"
#include "tests/app/ui/WorkFormSupport.h"
#include "tools/ScanSurface.h"
#include "tools/WizFormData.h"
#include "tools/ui/TfrmScanView.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QTextBrowser>

#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

namespace zkv {
namespace {

using json = nlohmann::json;

// Starts the stand-in with `script` and points a window at it, on the simulated channel of `hw`.
struct WindowAndStandIn {
    test::TempDir dir;
    test::ServiceStandIn sim;
    std::unique_ptr<TfrmWorkForm> form;

    bool Start(const std::string& hw, const std::string& script) {
        std::ofstream(dir.File("hw.json")) << hw;
        std::ofstream(dir.File("script.jsonl")) << script;
        if (!sim.Start({"--script", dir.File("script.jsonl")}))
            return false;
        ProxySetting proxy;
        proxy.serverHost = "127.0.0.1";
        proxy.serverPort = sim.Port();
        SaveUserData(dir.File("user.dat"), test::FormUnderTest::DefaultUser(), proxy);
        // The channel is chosen by its key and detected without a person; the detection sets
        // DeviceReady. The version file is asked of a port nobody listens on.
        WorkFormStartup startup;
        startup.dataDir.dir = dir.Path();
        startup.hardware = "sim:" + dir.File("hw.json");
        startup.controller = "pci-0000:00:01.1\\1";
        startup.updateUrl = "http://127.0.0.1:9/zelkova/autoupdate.txt";
        startup.unattended = true;
        form = std::make_unique<TfrmWorkForm>(startup);
        form->tmrCheckHDD->setInterval(50);
        form->show();
        return true;
    }
    std::vector<json> Received() const { return sim.Printed(); }
};

TEST(WorkFormTechnician, AtaBatchAndWizardThroughTheWindow) {
    AtaCommandRecord identify;
    identify.DH = 0xA0;
    identify.CR = 0xEC;
    identify.Protocol = PR_PIO_READ;
    identify.DataLen = 512;
    identify.Time = 2000;
    identify.Flags = RESETENABLE | READREGS;
    TWizFormData wiz;
    wiz.message = "Ready?";
    wiz.buttons = mb::Yes | mb::No;
    json head = {{"sender_role", 3}, {"addressee_role", 2}, {"sender_id", 4242}};
    json ata = head;
    ata["flags"] = kPacketFlagAta;
    ata["exchange_id"] = 1;
    auto rec = identify.Encode();
    const std::string script =
        json{{"header", ata},
             {"items",
              {{{"code", CMD_ATA_COMMAND},
                {"flags", 1},
                {"data", ToHex(std::span<const std::uint8_t>(rec.data(), rec.size()))}},
               {{"code", CMD_SHOW_WIZARD_FORM}, {"flags", 1}, {"data", ToHex(wiz.ToBytes())}}}}}
            .dump() +
        "\n";
    WindowAndStandIn w;
    ASSERT_TRUE(w.Start(
        R"({"channels": [{"command_block": 496, "control_block": 1014, "master": {"type": "disk", "model": "WINDOW TEST DISK",
                 "sectors": 4096}}]})",
        script));
    TfrmWorkForm& form = *w.form;

    json reply;
    ASSERT_TRUE(test::SpinUntil(
        [&] {
            for (const json& j : w.Received())
                if (j.contains("items") && j["header"]["kind"] == 1 &&
                    j["header"]["exchange_id"] == 1)
                    reply = j;
            return !reply.is_null();
        },
        10000));
    ASSERT_EQ(reply["items"].size(), 2u);
    EXPECT_EQ(reply["items"][0]["code"], COMMAND_OK);
    EXPECT_EQ(reply["items"][0]["data_length"], 47 + 512);
    std::vector<std::uint8_t> id;
    FromHex(reply["items"][0]["data"].get<std::string>(), id);
    std::array<std::uint8_t, 512> block{};
    std::copy(id.begin() + 47, id.end(), block.begin());
    EXPECT_EQ(TrimBlanks(IdentifyText(block, 27, 40)), "WINDOW TEST DISK");
    EXPECT_EQ(reply["items"][1]["code"], COMMAND_OK);
    EXPECT_EQ(reply["items"][1]["data"], "02000000"); // Yes, the first offered of OK, Yes
    EXPECT_EQ(form.Channel().ChosenDrive().model, "WINDOW TEST DISK")
        << form.wbLog->toPlainText().toStdString();

    test::Spin(200);
    const std::string text = form.wbLog->toPlainText().toStdString();
    EXPECT_NE(text.find("answered Yes without asking: Ready?"), std::string::npos) << text;
    // DRDY and DSC are lit by the register poll.
    EXPECT_NE(form.lamps[1]->Colour(), LampColour::Dark);
    EXPECT_FALSE(form.AtaWorker()->Busy());

    // Closing gives the channel back, and says so once.
    EXPECT_TRUE(form.close());
    const std::string closed = form.wbLog->toPlainText().toStdString();
    const std::string line = "Trying to enable chosen IDE channel.";
    const auto first = closed.find(line);
    ASSERT_NE(first, std::string::npos) << closed;
    EXPECT_EQ(closed.find(line, first + 1), std::string::npos) << closed;
}

TEST(WorkFormTechnician, ScanResultsReachTheTechnicianUntilTheScanIsOver) {
    // 28-bit READ VERIFY over the whole disk, reports every second slice.
    ScanSurfaceParams p;
    p.count = 6000;
    p.timeout = {10, 20, 50, 100, 200, 500};
    p.commandTimeout = 2000;
    p.attempts = 1;
    p.reportPeriod = 1;
    p.sliceMs = 30;
    const auto params = p.Encode();
    json head = {{"sender_role", 3}, {"addressee_role", 2}, {"sender_id", 4242}};
    const std::string script =
        json{{"header", head},
             {"items",
              {{{"code", CMD_SCAN_SURFACE},
                {"flags", 1},
                {"data", ToHex(std::span<const std::uint8_t>(params.data(), params.size()))}}}}}
            .dump() +
        "\n" +
        // Another technician's command meanwhile: the results still go to the scan's starter.
        json{{"header", {{"sender_role", 3}, {"addressee_role", 2}, {"sender_id", 5555}}},
             {"items", {{{"code", CMD_SHOW_LOG}, {"flags", 1}, {"data", "686900"}}}}}
            .dump() +
        "\n";
    WindowAndStandIn w;
    // The drive is the disk helper's, in another process: its slow sectors take real time, so
    // that the scan lasts several of the window's report periods.
    ASSERT_TRUE(w.Start(R"({"clock": "real", "channels": [{"command_block": 496,
        "control_block": 1014, "master":
        {"type": "disk", "model": "SCAN TEST DISK", "sectors": 6000, "defects": [
         {"lba": 100, "error": "UNC"}, {"lba": 2000, "error": "IDNF"},
         {"lba": 5999, "error": "ABRT"}], "slow": [{"lba": 3000, "count": 256, "ms": 2}]}}]})",
                        script));

    // Each CMD_SHOW_SCAN: byte 0 = over, then 36-byte records.
    std::vector<std::vector<std::uint8_t>> shows;
    bool answered = false;
    ASSERT_TRUE(test::SpinUntil(
        [&] {
            shows.clear();
            for (const json& j : w.Received()) {
                if (!j.contains("items"))
                    continue;
                for (const json& it : j["items"]) {
                    if (it["code"] == COMMAND_OK && j["header"]["kind"] == 1)
                        answered = true;
                    if (it["code"] == CMD_SHOW_SCAN) {
                        EXPECT_EQ(j["header"]["destination_id"], 4242);
                        shows.emplace_back();
                        FromHex(it["data"].get<std::string>(), shows.back());
                    }
                }
            }
            return !shows.empty() && !shows.back().empty() && shows.back()[0] == 1;
        },
        20000))
        << w.form->wbLog->toPlainText().toStdString();
    EXPECT_TRUE(answered);
    // Several reports while the scan ran, only the last says it is over.
    ASSERT_GE(shows.size(), 2u);
    std::int64_t sectors = 0;
    std::map<std::int64_t, ScanSurfaceResult> failed;
    for (std::size_t i = 0; i < shows.size(); ++i) {
        EXPECT_EQ(shows[i][0], i + 1 == shows.size() ? 1 : 0) << i;
        ASSERT_EQ((shows[i].size() - 1) % ScanSurfaceResult::kSize, 0u);
        for (std::size_t o = 1; o < shows[i].size(); o += ScanSurfaceResult::kSize) {
            const ScanSurfaceResult r = ScanSurfaceResult::DecodeFrom(shows[i].data() + o);
            sectors += r.sectors;
            if (r.Has(RES_VERIFY_ERROR))
                failed[r.lba] = r;
        }
    }
    EXPECT_EQ(sectors, 6000);
    ASSERT_EQ(failed.size(), 3u);
    for (const auto& [lba, r] : failed)
        EXPECT_EQ(r.sectors, 1) << lba;
    EXPECT_EQ(failed[100].error, 0x40u);  // UNC
    EXPECT_EQ(failed[2000].error, 0x10u); // IDNF
    EXPECT_EQ(failed[5999].error, 0x04u); // ABRT
    // The view showed the scan and counted the same.
    EXPECT_TRUE(w.form->Scan().View().isVisible());
    const ScanStatistics& st = w.form->Scan().Service().Model().Statistics();
    EXPECT_EQ(st.processedSectors, 6000);
    EXPECT_EQ(st.counters[7], 1); // ABORT
    EXPECT_EQ(st.counters[8], 1); // UNC
    EXPECT_EQ(st.counters[9], 1); // IDNF
    // The register poll, held off during the scan, shows the idle drive again.
    test::Spin(300);
    EXPECT_NE(w.form->lamps[1]->Colour(), LampColour::Dark);
}

} // namespace
} // namespace zkv
