#include "SimFixture.h"
#include "platform/LinuxSmallPort.h"
#include "programs/ata/AtaTool.h"
#include "sim/SimHardwareJson.h"
#include "support/ByteOrder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace zkv::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ToolDir {
    ToolDir() {
        dir = fs::temp_directory_path() /
              ("zkv-ata-tool-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir);
    }
    ~ToolDir() { fs::remove_all(dir); }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }
    fs::path dir;
    static inline int counter = 0;
};

struct Outcome {
    int rc;
    json out;
    std::string err;
};

Outcome RunTool(std::vector<std::string> args) {
    std::ostringstream out, err;
    int rc = RunAtaTool(args, out, err);
    json j;
    if (!out.str().empty() && out.str()[0] == '{')
        j = json::parse(out.str());
    return {rc, j, err.str()};
}

const char* kHardware = R"({ "channels": [
  { "command_block": 496, "control_block": 1014,
    "master": { "type": "disk", "model": "TOOL DISK", "serial": "T-1", "firmware": "F9",
                "sectors": 400000000, "image": "disk.img", "write_cache": false,
                "defects": [ { "lba": 7, "error": "UNC" } ] },
    "slave": { "type": "packet", "model": "TOOL CD" } },
  { "command_block": 368, "control_block": 886, "master": { "type": "mute" } } ] })";

} // namespace

TEST(AtaTool, DetectIdentifyStatusRead) {
    ToolDir d;
    std::string hw = "sim:" + d.Write("hw.json", kHardware);
    d.Write("disk.img", "");
    fs::resize_file(d.dir / "disk.img", 4096);

    Outcome o = RunTool({"--hardware", hw, "detect"});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out["master"]["kind"], 2);
    EXPECT_EQ(o.out["master"]["model"], "TOOL DISK");
    EXPECT_EQ(o.out["slave"]["kind"], 4);

    o = RunTool({"--hardware", hw, "identify"});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out["serial"], "T-1");
    EXPECT_EQ(o.out["write_cache_supported"], true);
    EXPECT_EQ(o.out["write_cache_enabled"], false);
    EXPECT_EQ(o.out["look_ahead_enabled"], true);

    o = RunTool({"--hardware", hw, "--channel", "0x170:886", "detect"});
    EXPECT_EQ(o.out["master"]["kind"], 1);
    EXPECT_EQ(o.out["slave"]["kind"], 0); // the mute master answers for its absent slave

    o = RunTool({"--hardware", hw, "status"});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out["sr"], 0x50);

    o = RunTool({"--hardware", hw, "read", "7"});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out["result"], 3);
    EXPECT_EQ(o.out["er"], 0x40);

    o = RunTool({"--hardware", hw, "read", "300000000", "2"}); // needs the 48-bit form
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out["data"].get<std::string>(), std::string(2048, '0'));
}

TEST(AtaTool, ExecWritesThroughToTheImageAndReturnsRecordAndTrace) {
    ToolDir d;
    std::string hw = "sim:" + d.Write("hw.json", kHardware);
    d.Write("disk.img", "");
    AtaCommandRecord r = Lab::Rw(0x30, 3, 1, RESETENABLE | READREGS | WRITELOG, 1000);
    r.Protocol = PR_PIO_WRITE;
    r.DataLen = 512;
    r.Tag = 0xCAFE;
    auto data = Pattern(512, 8);
    Outcome o = RunTool({"--hardware", hw, "exec", ToHex(r.Encode()), ToHex(data)});
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.out["result"], 0);
    EXPECT_EQ(o.out["data_len"], 0);
    EXPECT_EQ(o.out["data"], "");
    std::vector<std::uint8_t> back, trace;
    ASSERT_TRUE(FromHex(o.out["record"].get<std::string>(), back));
    ASSERT_EQ(back.size(), 47u);
    AtaCommandRecord after;
    after.Decode(back);
    EXPECT_EQ(after.Tag, 0xCAFEu);
    EXPECT_EQ(after.SR, 0x50);
    ASSERT_TRUE(FromHex(o.out["trace"].get<std::string>(), trace));
    auto log = ParseLog(trace.data(), trace.size());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().text, "Command data");

    std::ifstream img(d.dir / "disk.img", std::ios::binary);
    std::vector<std::uint8_t> got(512);
    img.seekg(3 * 512);
    img.read(reinterpret_cast<char*>(got.data()), 512);
    EXPECT_EQ(got, data);

    // A read record gets its buffer from DataLen and returns the bytes.
    AtaCommandRecord rd = Lab::Rw(0x20, 3, 1, RESETENABLE, 1000);
    rd.Protocol = PR_PIO_READ;
    rd.DataLen = 512;
    o = RunTool({"--hardware", hw, "exec", ToHex(rd.Encode())});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.out["data"], ToHex(data));
    EXPECT_EQ(o.out["trace"], "");
}

TEST(AtaTool, UsageErrorsExitTwo) {
    ToolDir d;
    std::string hw = "sim:" + d.Write("hw.json", kHardware);
    EXPECT_EQ(RunTool({}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "frobnicate"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "read"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "read", "-1"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "read", "0", "70000"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "exec", "00"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", hw, "--channel", "zz", "status"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", "sim:/nonexistent/hw.json", "status"}).rc, 2);
    EXPECT_EQ(RunTool({"--hardware", "floppy", "status"}).rc, 2);
    EXPECT_EQ(RunTool({"--bogus", "status"}).rc, 2);
}

TEST(SimHardwareJson, RequiredKeysAndErrors) {
    auto cfg = ParseSimHardware(R"({"channels":[{"command_block":496,"control_block":1014,
        "master":{"type":"disk","sectors":100,"lba48":false,"look_ahead":false,
                  "slow":[{"lba":5,"count":2,"ms":40}],"ram":"0aFF"}}]})");
    ASSERT_EQ(cfg.channels.size(), 1u);
    const auto& m = cfg.channels[0].master;
    EXPECT_EQ(m.type, SimDeviceConfig::Type::Disk);
    EXPECT_EQ(m.sectors, 100u);
    EXPECT_FALSE(m.lba48);
    EXPECT_FALSE(m.lookAhead);
    EXPECT_TRUE(m.writeCache);
    ASSERT_EQ(m.slow.size(), 1u);
    EXPECT_EQ(m.slow[0].ms, 40u);
    EXPECT_EQ(m.ram, (std::vector<std::uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(cfg.channels[0].slave.type, SimDeviceConfig::Type::None);
    EXPECT_FALSE(cfg.realClock);
    EXPECT_FALSE(cfg.restartAccepted);
    EXPECT_TRUE(ParseSimHardware(R"({"channels":[],"restart":"accepted"})").restartAccepted);

    for (
        const char* bad : {
            "[]",
            "{}",
            "not json",
            R"({"channels":[{"command_block":496}]})",
            R"({"channels":[{"command_block":-1,"control_block":1014}]})",
            R"({"channels":[{"command_block":496,"control_block":1014,"master":{"type":"tape"}}]})",
            R"({"channels":[{"command_block":496,"control_block":1014,
                 "master":{"type":"disk","defects":[{"lba":1,"error":"BAD"}]}}]})",
            R"({"channels":[{"command_block":496,"control_block":1014,"master":{"type":"disk","ram":"abc"}}]})",
            R"({"channels":[{"command_block":496,"control_block":1014,"master":{"type":"disk","lba48":1}}]})",
            R"({"channels":[],"restart":"yes"})",
        })
        EXPECT_THROW(ParseSimHardware(bad), std::runtime_error) << bad;

    // Two channels on the same ports cannot be built.
    auto overlap = ParseSimHardware(R"({"channels":[{"command_block":496,"control_block":1014},
        {"command_block":500,"control_block":886}]})");
    EXPECT_THROW(SimIdeHardware hw(overlap), std::runtime_error);
}

TEST(LinuxSmallPort, ClosedPortReadsZeroAndCountsFailures) {
    // Never opened, so no instruction reaches a real port.
    TLinuxSmallPort port({{0x1F0, 8}});
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.ReadByte(0x1F7), 0);
    EXPECT_EQ(port.ReadDWord(0x1F0), 0u);
    std::uint16_t words[4] = {1, 2, 3, 4};
    port.ReadWords(0x1F0, words, 4);
    EXPECT_EQ(words[3], 0);
    port.WriteByte(0x1F7, 0xEC);
    EXPECT_EQ(port.FailedAccesses(), 4u);
}

} // namespace zkv::test
