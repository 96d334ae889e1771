// A technician script played by the service stand-in against the client's engine and ATA
// worker on a simulated disk with an image file.
#include "protocol/PacketJson.h"
#include "support/ByteOrder.h"
#include "tests/support/AtaClientHarness.h"
#include "tests/support/Process.h"
#include "tests/unit/ata/SimFixture.h"
#include "tools/MessageDialog.h"
#include "tools/WizFormData.h"

#include <gtest/gtest.h>

#include <fstream>

namespace zkv {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

constexpr std::int32_t kTech = 4242;

// The client as the window builds it: engine, framing and an ATA worker whose completion runs
// on this (the main) thread.
class TechClient : public test::AtaClientHarness {
public:
    TechClient(std::filesystem::path dataDir, THDCDevice* dev, AtaGlobals& g, SharedFlags& f)
        : AtaClientHarness(std::move(dataDir), dev, g, f) {
        worker.Socket().SetWizardHook(ShowWizardForm);
    }

    void SetTechnicianAttached(bool on) override { detailedLogging = on; }

    // Pumps the connection and the worker's calls until `done`.
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds t = 20s) {
        const auto end = std::chrono::steady_clock::now() + t;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end || !connection.Active())
                return done();
            main.ProcessEvents();
            PumpFor(2ms);
        }
        return true;
    }
};

Json Item(int code, const std::vector<std::uint8_t>& data = {}, std::uint32_t flags = 1) {
    return {{"code", code}, {"flags", flags}, {"data", ToHex(data)}};
}
Json Packet(std::uint32_t exchange, std::vector<Json> items, std::uint32_t headerFlags = 0) {
    return {{"header",
             {{"sender_role", 3},
              {"addressee_role", 2},
              {"sender_id", kTech},
              {"flags", headerFlags},
              {"exchange_id", exchange}}},
            {"items", items}};
}
std::vector<std::uint8_t> Rec(const AtaCommandRecord& r,
                              const std::vector<std::uint8_t>& tail = {}) {
    std::vector<std::uint8_t> d(AtaCommandRecord::kSize + tail.size());
    r.EncodeTo(d.data());
    std::copy(tail.begin(), tail.end(), d.begin() + AtaCommandRecord::kSize);
    return d;
}
AtaCommandRecord Read(std::uint64_t lba, std::uint32_t fl = RESETENABLE | READREGS) {
    AtaCommandRecord r = test::Lab::Rw(0x20, lba, 1, fl, 2000);
    r.Protocol = PR_PIO_READ;
    r.DataLen = 512;
    return r;
}

struct Reply {
    Json header;
    std::vector<Json> items;
    std::vector<std::uint8_t> Data(std::size_t i) const {
        std::vector<std::uint8_t> d;
        FromHex(items.at(i)["data"].get<std::string>(), d);
        return d;
    }
    AtaCommandRecord Record(std::size_t i) const {
        AtaCommandRecord r;
        r.Decode(Data(i));
        return r;
    }
};

class TechnicianE2E : public ::testing::Test {
protected:
    TechnicianE2E() {
        // A 4 MiB image: every sector filled with its own pattern.
        image = dir.Path() / "disk.img";
        std::ofstream out(image, std::ios::binary);
        for (unsigned s = 0; s < 8192; ++s) {
            auto p = test::Pattern(512, s);
            out.write(reinterpret_cast<const char*>(p.data()), 512);
        }
        out.close();
        SimDeviceConfig disk = test::Disk(8192);
        disk.image = image.string();
        for (std::uint64_t lba = 1000; lba < 1006; ++lba)
            disk.defects.push_back({lba, SimDefectKind::UNC});
        lab = std::make_unique<test::Lab>(disk);
        lab->flags.SetDeviceReady();
        std::filesystem::create_directory(dir.Path() / "data");
        client = std::make_unique<TechClient>(dir.Path() / "data", lab->dev.get(), lab->globals,
                                              lab->flags);
    }

    // Plays `script` and returns once replies for all `exchanges` were printed.
    void Play(const std::vector<Json>& script, std::vector<std::uint32_t> exchanges) {
        auto file = dir.Path() / "script.jsonl";
        std::ofstream s(file);
        for (const Json& j : script)
            s << j.dump() << "\n";
        s.close();
        auto portFile = dir.Path() / "port";
        ASSERT_TRUE(
            sim.Start(ZKV_SERVICE_SIM,
                      {"--script", file.string(), "--port", "0", "--port-file", portFile.string()},
                      dir.Path() / "sim.out", dir.Path() / "sim.err"));
        std::string port = test::WaitForLine(portFile, 5s);
        ASSERT_FALSE(port.empty());
        ASSERT_TRUE(client->Connect(static_cast<std::uint16_t>(std::stoi(port))));
        ASSERT_TRUE(client->Run([&] {
            for (auto e : exchanges)
                if (!replies_.count(e) && !Collect(e))
                    return false;
            return true;
        })) << "no reply printed for every exchange";
    }
    const Reply& Of(std::uint32_t exchange) { return replies_.at(exchange); }
    bool PrintedBadBody() {
        for (const auto& l : test::ReadLines(dir.Path() / "sim.out"))
            if (l.find("\"error\"") != std::string::npos)
                return true;
        return false;
    }

    TempDir dir;
    std::filesystem::path image;
    std::unique_ptr<test::Lab> lab;
    std::unique_ptr<TechClient> client;
    test::ChildProcess sim;

private:
    bool Collect(std::uint32_t exchange) {
        for (const auto& l : test::ReadLines(dir.Path() / "sim.out")) {
            Json j = Json::parse(l, nullptr, false);
            if (j.is_object() && j.contains("items") && j["header"]["kind"] == 1 &&
                j["header"]["exchange_id"] == exchange) {
                replies_[exchange] = Reply{j["header"], j["items"].get<std::vector<Json>>()};
                return true;
            }
        }
        return false;
    }
    std::map<std::uint32_t, Reply> replies_;
};

TEST_F(TechnicianE2E, AtaBatchesRunOnTheWorkerAndAnswerEveryRecord) {
    AtaCommandRecord identify;
    identify.DH = 0xA0;
    identify.CR = 0xEC;
    identify.Protocol = PR_PIO_READ;
    identify.DataLen = 512;
    identify.Time = 2000;
    identify.Flags = RESETENABLE | READREGS;
    AtaCommandRecord read48 = test::Lab::Rw(0x24, 5, 1, RESETENABLE | READREGS | EXTADDR, 2000);
    read48.Protocol = PR_PIO_READ;
    read48.DataLen = 512;
    const auto written = test::Pattern(512, 999);
    AtaCommandRecord write = test::Lab::Rw(0x30, 7, 1, RESETENABLE | READREGS, 2000);
    write.Protocol = PR_PIO_WRITE;
    write.DataLen = 512;
    AtaCommandRecord failing = Read(1000, RESETENABLE | READREGS | WRITELOG);
    failing.RepeatCnt = 3;

    std::vector<Json> ten;
    for (int i = 0; i < 10; ++i)
        ten.push_back(Item(CMD_ATA_COMMAND, Rec(Read(i < 6 ? 1000 + i : 10 + i))));

    Play({Packet(1,
                 {Item(CMD_ATA_COMMAND, Rec(identify)), Item(CMD_ATA_COMMAND, Rec(read48)),
                  Item(CMD_ATA_COMMAND, Rec(write, written)), Item(CMD_ATA_COMMAND, Rec(failing))},
                 kPacketFlagAta),
          Packet(2, ten, kPacketFlagAta),
          Packet(3,
                 {Item(CMD_ATA_GET_STATUS, {}, 0), Item(CMD_ATA_RESET, {}, 1),
                  Item(CMD_ATA_RESET, {}, 0)},
                 kPacketFlagAta)},
         {1, 2, 3});

    const Reply& b = Of(1);
    EXPECT_EQ(b.header["kind"], 1);
    EXPECT_EQ(b.header["destination_id"], kTech);
    ASSERT_EQ(b.items.size(), 4u);
    for (const Json& it : b.items)
        EXPECT_EQ(it["code"], COMMAND_OK);
    // IDENTIFY: record and the 512 bytes; the engine's current drive is refreshed.
    EXPECT_EQ(b.Record(0).Result, ATA_OK);
    EXPECT_EQ(b.Data(0).size(), 47u + 512u);
    EXPECT_EQ(lab->globals.CurrentId.Model(), "SIM TEST DISK");
    // 48-bit READ: the image's sector 5.
    auto r = b.Data(1);
    ASSERT_EQ(r.size(), 47u + 512u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 47, r.end()), test::Pattern(512, 5));
    // WRITE: the record alone, and the data is in the image file.
    EXPECT_EQ(b.Data(2).size(), 47u);
    EXPECT_EQ(b.Record(2).Result, ATA_OK);
    {
        std::ifstream in(image, std::ios::binary);
        std::vector<std::uint8_t> sector(512);
        in.seekg(7 * 512);
        in.read(reinterpret_cast<char*>(sector.data()), 512);
        EXPECT_EQ(sector, written);
    }
    // The failing read: three attempts, three traces after the record and data.
    AtaCommandRecord f = b.Record(3);
    EXPECT_EQ(f.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(f.RepeatCnt, 3u);
    auto fd = b.Data(3);
    std::size_t at = 47 + static_cast<std::size_t>(std::max(f.DataLen, 0));
    ASSERT_GE(fd.size(), at + 4);
    ASSERT_EQ(GetU32(fd.data() + at), 3u);
    at += 4;
    for (int k = 0; k < 3; ++k) {
        ASSERT_GE(fd.size(), at + 4);
        const std::uint32_t n = GetU32(fd.data() + at);
        EXPECT_GT(n, 0u);
        at += 4 + n;
    }
    EXPECT_EQ(at, fd.size());

    // Six failures in a row: the rest of the batch answers ABORT without touching the drive.
    const Reply& t = Of(2);
    ASSERT_EQ(t.items.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(t.Record(i).Result, i < 6 ? ATA_DEVICE_ERROR : ATA_ABORT) << "item " << i + 1;

    // Status always answers; a reset answers only when asked to.
    const Reply& s = Of(3);
    ASSERT_EQ(s.items.size(), 3u);
    EXPECT_EQ(s.Data(0).size(), 47u);
    EXPECT_EQ(s.Record(0).SR, 0x41); // the error the sixth failure left
    EXPECT_EQ(s.Data(1).size(), 47u);
    EXPECT_EQ(s.Record(1).Result, ATA_OK);
    EXPECT_EQ(s.items[2]["code"], 0);
    EXPECT_EQ(s.Data(2).size(), 0u);
}

TEST_F(TechnicianE2E, CommandsAreAnsweredAndRoutedAsTheTableSays) {
    UnattendedMessageDialog unattended(
        [this](const std::string& line) { client->AddLogText(line); });
    ScopedMessageDialog scoped(unattended);
    TWizFormData wiz;
    wiz.message = "<b>Is the drive connected?</b>";
    wiz.dlgType = 2;
    wiz.buttons = mb::Cancel | mb::Retry;
    wiz.needHelp = 1;
    std::vector<std::uint8_t> chat(8, 0);
    PutI32(chat.data(), 99);
    for (char c : std::string("Hello from the technician"))
        chat.push_back(static_cast<std::uint8_t>(c));
    chat.push_back(0);

    Play({Packet(11, {Item(CMD_ATA_GET_STATUS), Item(CMD_ATA_RESET), Item(CMD_ATA_RESET, {}, 0),
                      Item(CMD_GET_IDE_LIST), Item(CMD_LOAD_DLL)}),
          Packet(12, {Item(CMD_SHOW_WIZARD_FORM, wiz.ToBytes())}),
          Packet(13, {Item(CMD_START_CHAT, chat)}),
          Packet(14, {Item(CMD_GET_IDE_LIST), Item(CMD_START_CHAT, {1, 2, 3})}),
          Packet(15, {Item(CMD_CLOSE_CHAT)})},
         {11, 12, 13, 14, 15});

    const Reply& a = Of(11);
    ASSERT_EQ(a.items.size(), 5u);
    EXPECT_EQ(a.items[0]["code"], COMMAND_OK);
    EXPECT_EQ(a.Data(0).size(), 47u);
    EXPECT_EQ(a.items[1]["code"], COMMAND_OK);
    EXPECT_EQ(a.Record(1).Result, ATA_OK);
    EXPECT_EQ(a.items[2]["code"], 0);
    EXPECT_EQ(a.items[3]["code"], COMMAND_ERROR);
    EXPECT_EQ(a.items[4]["code"], UNKNOWN_COMMAND);
    EXPECT_EQ(a.header["addressee_role"], 7); // no technician attached: AUTOMAT
    EXPECT_EQ(a.header["delivery"], FOR_ONE);
    EXPECT_EQ(a.header["destination_id"], kTech);

    const Reply& w = Of(12);
    EXPECT_EQ(w.items[0]["code"], COMMAND_OK);
    EXPECT_EQ(GetI32(w.Data(0).data()), mrCancel);
    EXPECT_TRUE(client->Logged("answered Cancel without asking"));

    const Reply& c = Of(13);
    EXPECT_EQ(c.items[0]["code"], COMMAND_OK);
    EXPECT_EQ(c.Data(0).size(), DriveInfo::kSize);
    EXPECT_EQ(c.header["delivery"], FOR_ADMIN);
    EXPECT_TRUE(client->Logged("<b>Hello from the technician</b>"));

    const Reply& g = Of(14);
    EXPECT_EQ(g.header["addressee_role"], 6); // a technician is attached: NODE MGR
    EXPECT_EQ(g.header["partner_id"], 99);
    EXPECT_EQ(g.items[1]["code"], COMMAND_ERROR); // START_CHAT without its 8 bytes

    EXPECT_EQ(Of(15).items[0]["code"], COMMAND_OK);
    EXPECT_EQ(client->socket->PartnerId(), 0);
    EXPECT_FALSE(client->detailedLogging);

    // Messages the client sends on its own go to the last command's sender.
    std::vector<std::uint8_t> scanOver(1 + 36, 9);
    scanOver[0] = 1; // the scan is over, one result record
    ASSERT_TRUE(client->socket->SendToTechnician(CMD_SHOW_SCAN, scanOver));
    ASSERT_TRUE(client->socket->SendToTechnician(CMD_COMPORT_SHOW_DATA, {{'O', 'K', 0}}));
    std::vector<Json> sent;
    ASSERT_TRUE(client->Run([&] {
        sent.clear();
        for (const auto& l : test::ReadLines(dir.Path() / "sim.out")) {
            Json j = Json::parse(l, nullptr, false);
            if (j.is_object() && j.contains("items") && j["header"]["kind"] == 0 &&
                (j["items"][0]["code"] == CMD_SHOW_SCAN ||
                 j["items"][0]["code"] == CMD_COMPORT_SHOW_DATA))
                sent.push_back(j);
        }
        return sent.size() == 2;
    }));
    for (const Json& j : sent) {
        EXPECT_EQ(j["header"]["sender_role"], 2);
        EXPECT_EQ(j["header"]["addressee_role"], 7);
        EXPECT_EQ(j["header"]["delivery"], FOR_ONE);
        EXPECT_EQ(j["header"]["destination_id"], kTech);
        EXPECT_EQ(j["items"][0]["flags"], 0);
        EXPECT_EQ(j["items"][0]["echo"], 0);
    }
    EXPECT_EQ(sent[0]["items"][0]["data_length"], 37);
    EXPECT_EQ(sent[0]["items"][0]["data"].get<std::string>().substr(0, 2), "01");
    EXPECT_EQ(sent[1]["items"][0]["data"], "4f4b00");
}

TEST_F(TechnicianE2E, SetKeyAnswersUnderTheNewKeyAndRefusesAShortOne) {
    std::vector<std::uint8_t> key(56);
    for (std::size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(0xA0 + i);
    std::vector<std::uint8_t> text = {'n', 'e', 'w', ' ', 'k', 'e', 'y', 0};
    Play({Packet(21, {Item(CMD_SET_KEY, key)}), Packet(22, {Item(CMD_SHOW_LOG, text)}),
          Packet(23, {Item(CMD_SET_KEY, {1, 2, 3})}), Packet(24, {Item(CMD_SHOW_LOG, text)})},
         {21, 22, 23, 24});
    EXPECT_EQ(Of(21).items[0]["code"], 0);
    EXPECT_EQ(Of(22).items[0]["code"], COMMAND_OK);
    EXPECT_EQ(Of(23).items[0]["code"], COMMAND_ERROR);
    EXPECT_EQ(Of(24).items[0]["code"], COMMAND_OK);
    EXPECT_EQ(client->CountLogged("<b>new key</b>"), 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(client->transport.WorkingKey().begin(),
                                        client->transport.WorkingKey().end()),
              key);
    EXPECT_FALSE(PrintedBadBody());
}

} // namespace
} // namespace zkv
