// The real window against the service stand-in: an ATA batch and a wizard screen reach the
// window's ATA worker on the simulated disk of --hardware sim:FILE, the replies come back
// through the window's socket, --unattended answers the question and logs it, and the
// register poll shows the drive's status on the lamps.
#include "app/Pictures.h"
#include "support/ByteOrder.h"
#include "support/SharedFlags.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/WorkFormSupport.h"
#include "tools/WizFormData.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QTextBrowser>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace zkv {
namespace {

using json = nlohmann::json;

std::vector<json> Lines(const std::string& file) {
    std::vector<json> out;
    std::ifstream in(file);
    std::string l;
    while (std::getline(in, l)) {
        auto j = json::parse(l, nullptr, false);
        if (!j.is_discarded())
            out.push_back(j);
    }
    return out;
}

TEST(WorkFormTechnician, AtaBatchAndWizardThroughTheWindow) {
    const char* bin = std::getenv("ZKV_SERVICE_SIM");
    ASSERT_TRUE(bin && *bin);
    test::TempDir dir;
    {
        std::ofstream hw(dir.File("hw.json"));
        hw << R"({"channels": [{"command_block": 496, "control_block": 1014, "master": {"type": "disk", "model": "WINDOW TEST DISK",
                 "sectors": 4096}}]})";
    }
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
    {
        std::ofstream s(dir.File("script.jsonl"));
        json head = {{"sender_role", 3}, {"addressee_role", 2}, {"sender_id", 4242}};
        json ata = head;
        ata["flags"] = kPacketFlagAta;
        ata["exchange_id"] = 1;
        auto rec = identify.Encode();
        s << json{{"header", ata},
                  {"items",
                   {{{"code", CMD_ATA_COMMAND},
                     {"flags", 1},
                     {"data", ToHex(std::span<const std::uint8_t>(rec.data(), rec.size()))}},
                    {{"code", CMD_SHOW_WIZARD_FORM},
                     {"flags", 1},
                     {"data", ToHex(wiz.ToBytes())}}}}}
                 .dump()
          << "\n";
    }
    test::ChildProcess sim;
    ASSERT_TRUE(sim.Start(
        {bin, "--port", "0", "--port-file", dir.File("port"), "--script", dir.File("script.jsonl")},
        dir.File("sim.out")));
    int port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
        std::ifstream in(dir.File("port"));
        in >> port;
        if (port == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(port, 0);

    ProxySetting proxy;
    proxy.serverHost = "127.0.0.1";
    proxy.serverPort = port;
    SaveUserData(dir.File("user.dat"), test::FormUnderTest::DefaultUser(), proxy);
    // The channel is chosen by its key and detected without a person; the detection sets
    // DeviceReady. The version file is asked of a port nobody listens on.
    WorkFormStartup startup;
    startup.dataDir.dir = dir.Path();
    startup.hardware = "sim:" + dir.File("hw.json");
    startup.controller = "pci-0000:00:01.1\\1";
    startup.updateUrl = "http://127.0.0.1:9/zelkova/autoupdate.txt";
    startup.unattended = true;
    TfrmWorkForm form(startup);
    form.tmrCheckHDD->setInterval(50);
    form.show();

    json reply;
    ASSERT_TRUE(test::SpinUntil(
        [&] {
            for (const json& j : Lines(dir.File("sim.out")))
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
}

} // namespace
} // namespace zkv
