// The disk helper program driven over a real socket pair on the simulated hardware: its results
// equal the engine's own, what it is not allowed it refuses, and a client that goes away gets
// its channel given back.
#include "ata/AtaThread.h"
#include "helper/HelperClient.h"
#include "helper/HelperHardware.h"
#include "sim/SimHardwareJson.h"
#include "tests/support/SimLab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr const char* kPrimary = "pci-0000:00:01.1\\1";
constexpr const char* kSecondary = "pci-0000:00:01.1\\2";

struct SimFile : test::SimLab {
    SimFile()
        : SimLab(R"({"channels": [
            {"command_block": 496, "control_block": 1014,
             "master": {"type": "disk", "model": "HELPER DISK", "serial": "H1",
                        "sectors": 65536, "defects": [{"lba": 100, "error": "UNC"}]},
             "slave": {"type": "disk", "model": "HELPER SLAVE", "sectors": 4096}},
            {"command_block": 368, "control_block": 886}]})") {}
};

// Starts the helper on raw descriptors: requests on `in`, replies on `out`.
pid_t SpawnHelper(const SimFile& sim, int in, int out) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        execl(ZKV_DISK_HELPER, ZKV_DISK_HELPER, "--hardware", sim.Hardware().c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// Starts the helper with its standard error in `log`.
std::unique_ptr<DiskHelperClient> StartHelper(const SimFile& sim,
                                              const std::filesystem::path& log) {
    std::string error;
    auto c = DiskHelperClient::Start({"/bin/sh", "-c",
                                      std::string("exec '") + ZKV_DISK_HELPER + "' --hardware '" +
                                          sim.Hardware() + "' 2>'" + log.string() + "'"},
                                     error);
    EXPECT_TRUE(c) << error;
    EXPECT_TRUE(c->Hello(error)) << error;
    return c;
}

using test::ReadAll;
using test::WaitExit;

AtaCommandRecord Lba28(std::uint8_t cr, std::uint32_t lba, std::uint8_t count, AtaProtocol p) {
    AtaCommandRecord r;
    r.CR = cr;
    r.SC = count;
    r.SN = static_cast<std::uint8_t>(lba);
    r.CL = static_cast<std::uint8_t>(lba >> 8);
    r.CH = static_cast<std::uint8_t>(lba >> 16);
    r.DH = static_cast<std::uint8_t>(0xE0 | ((lba >> 24) & 0x0F));
    r.Protocol = p;
    r.DataLen = count * 512;
    r.Time = 5000;
    r.RepeatCnt = 1;
    r.Flags = READREGS;
    return r;
}

// IDENTIFY, a write of two sectors, reads of them back and of a defect, and a status read.
std::vector<BatchEntry> TestBatch() {
    std::vector<BatchEntry> b;
    AtaCommandRecord id;
    id.DH = 0xA0;
    id.CR = 0xEC;
    id.Protocol = PR_PIO_READ;
    id.DataLen = 512;
    id.Time = 200;
    id.RepeatCnt = 1;
    id.Flags = RESETENABLE | READREGS;
    b.push_back({ENTRY_COMMAND, id});
    AtaCommandRecord w = Lba28(0x30, 7, 2, PR_PIO_WRITE);
    for (int i = 0; i < 1024; ++i)
        w.Buffer.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    b.push_back({ENTRY_COMMAND, w});
    b.push_back({ENTRY_COMMAND, Lba28(0x20, 7, 2, PR_PIO_READ)});
    AtaCommandRecord bad = Lba28(0x20, 99, 4, PR_PIO_READ);
    bad.RepeatCnt = 3;
    bad.Flags |= WRITELOG;
    b.push_back({ENTRY_COMMAND, bad});
    b.push_back({ENTRY_STATUS, AtaCommandRecord{}});
    return b;
}

TEST(DiskHelper, ABatchThroughTheHelperGivesWhatTheEngineGivesDirectly) {
    SimFile sim;
    auto client = StartHelper(sim, sim.dir.Path() / "helper.log");
    std::string error;
    std::vector<ListEntry> list;
    ASSERT_TRUE(client->List(list, error)) << error;
    const auto primary = std::find_if(list.begin(), list.end(), [](const ListEntry& e) {
        return SameDeviceKey(e.key, kPrimary);
    });
    ASSERT_NE(primary, list.end());
    EXPECT_TRUE(primary->drivable);
    EXPECT_FALSE(primary->disabled);
    ChannelReply taken;
    ASSERT_TRUE(client->Take(kPrimary, taken, error)) << error;
    ASSERT_TRUE(taken.ok) << taken.message;

    // Through the helper, one round trip.
    BatchRequest request;
    request.key = kPrimary;
    request.entries = TestBatch();
    BatchReply reply;
    ASSERT_TRUE(client->RunBatch(request, reply, error)) << error;
    ASSERT_FALSE(reply.aborted);
    ASSERT_EQ(reply.results.size(), request.entries.size());

    // The same records on the engine in this process, over the same hardware file and the
    // ranges the helper listed.
    SimHardwareConfig cfg = LoadSimHardware(sim.file.string());
    SimIdeHardware hw(cfg);
    AtaGlobals globals;
    SharedFlags flags;
    std::vector<IoRange> ranges;
    for (const auto& [s, e] : primary->ranges)
        ranges.push_back({s, e});
    THDCDevice dev(hw, hw.Clock(), ranges, globals, flags);
    std::vector<BatchEntry> direct = TestBatch();
    for (std::size_t i = 0; i < direct.size(); ++i) {
        AtaCommandRecord& rec = direct[i].rec;
        std::vector<std::uint8_t> expected;
        if (direct[i].kind == ENTRY_STATUS) {
            dev.ReadStatus(rec);
            auto a = rec.Encode();
            expected.assign(a.begin(), a.end());
        } else {
            // The engine's own batch runner's attempts loop, as ATASocket runs it.
            std::vector<std::vector<std::uint8_t>> traces;
            const std::vector<std::uint8_t> data = rec.Buffer;
            PrepareCommandBuffer(rec, data);
            const auto saved = rec.Encode();
            const std::uint32_t attempts = rec.RepeatCnt == 0 ? 1 : rec.RepeatCnt;
            for (std::uint32_t k = 1; k <= attempts; ++k) {
                rec.DecodeFrom(saved.data());
                std::vector<std::uint8_t> trace;
                if (rec.Has(WRITELOG)) {
                    trace.assign(kTraceBufferSize, 0);
                    dev.Log().Attach(trace.data(), kTraceBufferSize);
                }
                dev.ExecuteCommand(rec);
                if (rec.Has(WRITELOG)) {
                    trace.resize(dev.Log().BytesUsed());
                    dev.Log().Attach(nullptr, 0);
                    traces.push_back(std::move(trace));
                }
                if (rec.Result == ATA_OK) {
                    rec.RepeatCnt = k;
                    break;
                }
            }
            expected = AtaCommandReplyData(rec, traces);
        }
        EXPECT_EQ(reply.results[i].bytes, expected) << "entry " << i;
    }

    // What came back means what it should: the drive's identity, the data written, the defect.
    AtaCommandRecord id, readBack, bad;
    std::vector<std::vector<std::uint8_t>> traces;
    ASSERT_TRUE(DecodeCommandResult(reply.results[0].bytes, id));
    ASSERT_TRUE(DecodeCommandResult(reply.results[2].bytes, readBack));
    ASSERT_TRUE(DecodeCommandResult(reply.results[3].bytes, bad, &traces));
    EXPECT_EQ(id.Result, ATA_OK);
    DeviceID identity;
    identity.LoadIdentifyData(std::span<const std::uint8_t, 512>(id.Buffer.data(), 512));
    EXPECT_EQ(identity.Model(), "HELPER DISK");
    EXPECT_EQ(readBack.Result, ATA_OK);
    EXPECT_EQ(readBack.Buffer, request.entries[1].rec.Buffer);
    EXPECT_NE(bad.Result, ATA_OK);
    EXPECT_EQ(traces.size(), 3u);

    // The channel proxy runs single operations the same way.
    THelperChannel channel(*client, kPrimary);
    AtaCommandRecord again = Lba28(0x20, 7, 2, PR_PIO_READ);
    again.Buffer.assign(1024, 0);
    // The defect's read left the drive mid-transfer: this command may reset it first.
    again.Flags |= RESETENABLE;
    channel.ExecuteCommand(again);
    EXPECT_EQ(again.Result, ATA_OK) << channel.LastError();
    EXPECT_EQ(again.Buffer, request.entries[1].rec.Buffer);
    // The slave position is the one the channel's Master() says.
    channel.SetMaster(false);
    AtaCommandRecord slaveId = TestBatch()[0].rec;
    slaveId.Buffer.assign(512, 0);
    channel.ExecuteCommand(slaveId);
    ASSERT_EQ(slaveId.Result, ATA_OK) << channel.LastError();
    identity.LoadIdentifyData(std::span<const std::uint8_t, 512>(slaveId.Buffer.data(), 512));
    EXPECT_EQ(identity.Model(), "HELPER SLAVE");
}

TEST(DiskHelper, RefusesAChannelNotTakenAndRecordsPastTheBoundsAndGoesOn) {
    SimFile sim;
    auto client = StartHelper(sim, sim.dir.Path() / "helper.log");
    std::string error;
    BatchRequest request;
    request.key = kPrimary;
    request.entries.push_back({ENTRY_COMMAND, Lba28(0x20, 0, 1, PR_PIO_READ)});
    BatchReply reply;

    // Nothing taken yet.
    EXPECT_FALSE(client->RunBatch(request, reply, error));
    EXPECT_EQ(client->LastRefusal(), ERR_NOT_TAKEN) << error;
    AtaCommandRecord status;
    EXPECT_FALSE(client->ReadStatus(kPrimary, false, status, error));
    EXPECT_EQ(client->LastRefusal(), ERR_NOT_TAKEN);

    ChannelReply taken;
    EXPECT_FALSE(client->Take("pci-0000:00:09.0\\1", taken, error));
    EXPECT_EQ(client->LastRefusal(), ERR_NO_CHANNEL) << error;
    ASSERT_TRUE(client->Take(kPrimary, taken, error) && taken.ok) << error << taken.message;
    // Another channel: not the one taken, and not takeable while this one is held.
    request.key = kSecondary;
    EXPECT_FALSE(client->RunBatch(request, reply, error));
    EXPECT_EQ(client->LastRefusal(), ERR_NOT_TAKEN) << error;
    EXPECT_FALSE(client->Take(kSecondary, taken, error));
    EXPECT_EQ(client->LastRefusal(), ERR_BUSY) << error;
    EXPECT_FALSE(client->Give(kSecondary, taken, error));
    EXPECT_EQ(client->LastRefusal(), ERR_NOT_TAKEN) << error;

    // One record asking for more than a command may move, and a batch past its total.
    request.key = kPrimary;
    request.entries[0].rec.DataLen = static_cast<std::int32_t>(kMaxCommandData) + 512;
    EXPECT_FALSE(client->RunBatch(request, reply, error));
    EXPECT_EQ(client->LastRefusal(), ERR_BOUNDS) << error;
    EXPECT_NE(error.find("DataLen"), std::string::npos) << error;
    request.entries[0].rec.DataLen = 30 << 20;
    request.entries.push_back(request.entries[0]);
    EXPECT_FALSE(client->RunBatch(request, reply, error));
    EXPECT_EQ(client->LastRefusal(), ERR_BOUNDS) << error;

    // The connection goes on: a proper batch runs.
    request.entries.resize(1);
    request.entries[0].rec = Lba28(0x20, 0, 1, PR_PIO_READ);
    ASSERT_TRUE(client->RunBatch(request, reply, error)) << error;
    ASSERT_EQ(reply.results.size(), 1u);
    AtaCommandRecord rec;
    ASSERT_TRUE(DecodeCommandResult(reply.results[0].bytes, rec));
    EXPECT_EQ(rec.Result, ATA_OK);
    EXPECT_TRUE(client->ReadStatus(kPrimary, false, status, error)) << error;
    EXPECT_TRUE(client->Give(kPrimary, taken, error) && taken.ok) << error;
}

TEST(DiskHelper, AnAbortSentWhileABatchRunsCutsItShort) {
    // A disk on the real clock whose first sectors take 100 ms each.
    test::TempDir dir;
    const auto file = dir.Path() / "slow.json";
    std::ofstream(file) << R"({"clock": "real", "channels": [
        {"command_block": 496, "control_block": 1014,
         "master": {"type": "disk", "sectors": 65536,
                    "slow": [{"lba": 0, "count": 64, "ms": 100}]}}]})";
    std::string error;
    auto client =
        DiskHelperClient::Start({ZKV_DISK_HELPER, "--hardware", "sim:" + file.string()}, error);
    ASSERT_TRUE(client && client->Hello(error)) << error;
    ChannelReply taken;
    ASSERT_TRUE(client->Take(kPrimary, taken, error) && taken.ok) << error << taken.message;
    BatchRequest request;
    request.key = kPrimary;
    for (std::uint32_t lba = 0; lba < 50; ++lba)
        request.entries.push_back({ENTRY_COMMAND, Lba28(0x20, lba, 1, PR_PIO_READ)});

    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        client->Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    BatchReply reply;
    const bool ran = client->RunBatch(request, reply, error);
    const auto took = std::chrono::steady_clock::now() - start;
    aborter.join();
    ASSERT_TRUE(ran) << error;
    EXPECT_TRUE(reply.aborted);
    EXPECT_GE(reply.results.size(), 1u);
    EXPECT_LT(reply.results.size(), 20u);
    EXPECT_LT(took, std::chrono::seconds(2));
    // The next batch runs in full: the abort concerned the batch it stopped, and one sent after
    // that batch's answer (it reaches the helper on the other connection, maybe after the next
    // batch has begun) names the batch answered, not the next one.
    client->Abort();
    request.entries.resize(2);
    ASSERT_TRUE(client->RunBatch(request, reply, error)) << error;
    EXPECT_FALSE(reply.aborted);
    EXPECT_EQ(reply.results.size(), 2u);
}

TEST(DiskHelper, AnAbortThatOvertakesItsBatchStillStopsIt) {
    // The abort travels on the reply connection: it can reach the helper before the batch it
    // names, and must stop that batch when it is read.
    SimFile sim;
    int req[2], rep[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, req), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rep), 0);
    const pid_t pid = SpawnHelper(sim, req[1], rep[1]);
    close(req[1]);
    close(rep[1]);
    auto call = [&](std::uint8_t type, const std::vector<std::uint8_t>& payload) {
        const auto bytes = EncodeFrame(type, payload);
        EXPECT_EQ(write(req[0], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        std::uint8_t header[kFrameHeaderSize];
        Frame f;
        std::uint32_t len = 0;
        EXPECT_EQ(recv(rep[0], header, sizeof header, MSG_WAITALL), 5);
        EXPECT_TRUE(DecodeFrameHeader(header, len, f.type));
        f.payload.resize(len);
        EXPECT_EQ(recv(rep[0], f.payload.data(), len, MSG_WAITALL), static_cast<ssize_t>(len));
        EXPECT_EQ(f.type, type | MSG_REPLY);
        return f;
    };
    call(MSG_HELLO, EncodeHello());      // request 1
    call(MSG_TAKE, EncodeKey(kPrimary)); // request 2
    const auto abort = EncodeFrame(MSG_ABORT, EncodeAbort(3));
    ASSERT_EQ(write(rep[0], abort.data(), abort.size()), static_cast<ssize_t>(abort.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the abort is read first
    BatchRequest batch;
    batch.key = kPrimary;
    for (std::uint32_t lba = 0; lba < 50; ++lba)
        batch.entries.push_back({ENTRY_COMMAND, Lba28(0x20, lba, 1, PR_PIO_READ)});
    BatchReply reply;
    ASSERT_TRUE(DecodeBatchReply(call(MSG_BATCH, EncodeBatch(batch)).payload, reply));
    EXPECT_TRUE(reply.aborted);
    EXPECT_LE(reply.results.size(), 1u);
    close(req[0]);
    close(rep[0]);
    EXPECT_EQ(WaitExit(pid, 5000), 0);
}

TEST(DiskHelper, AFramePastTheBoundsEndsTheConnection) {
    SimFile sim;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    const pid_t pid = SpawnHelper(sim, sv[1], sv[1]);
    close(sv[1]);
    // A length of 4 GiB: the helper must not wait for it, nor allocate it.
    const std::uint8_t header[5] = {0xFF, 0xFF, 0xFF, 0xFF, MSG_HELLO};
    ASSERT_EQ(write(sv[0], header, sizeof header), 5);
    EXPECT_EQ(WaitExit(pid, 5000), 0);
    close(sv[0]);
}

TEST(DiskHelper, AKilledClientsChannelIsGivenBack) {
    SimFile sim;
    const auto log = sim.dir.Path() / "helper.log";
    test::KilledClient killed([&](const test::KilledClient::Report& report) {
        std::string error;
        auto c =
            DiskHelperClient::Start({"/bin/sh", "-c",
                                     std::string("exec '") + ZKV_DISK_HELPER + "' --hardware '" +
                                         sim.Hardware() + "' 2>'" + log.string() + "'"},
                                    error);
        ChannelReply taken;
        if (c && c->Hello(error) && c->Take(kPrimary, taken, error) && taken.ok)
            report(c->Pid());
    });
    ASSERT_GT(killed.HelperPid(), 0);
    EXPECT_NE(ReadAll(log).find("Took channel"), std::string::npos) << ReadAll(log);

    EXPECT_EQ(killed.Kill(10000), 0);
    const std::string text = ReadAll(log);
    EXPECT_NE(text.find(std::string("Gave back channel ") + kPrimary), std::string::npos) << text;
    EXPECT_NE(text.find("ended: the connection closed"), std::string::npos) << text;
}

TEST(DiskHelper, TerminatedItGivesTheChannelBackToo) {
    SimFile sim;
    const auto log = sim.dir.Path() / "helper.log";
    auto client = StartHelper(sim, log);
    std::string error;
    ChannelReply taken;
    ASSERT_TRUE(client->Take(kPrimary, taken, error) && taken.ok) << error << taken.message;
    ASSERT_EQ(kill(client->Pid(), SIGTERM), 0);
    EXPECT_EQ(WaitExit(client->Pid(), 5000), 0);
    const std::string text = ReadAll(log);
    EXPECT_NE(text.find(std::string("Gave back channel ") + kPrimary), std::string::npos) << text;
    EXPECT_NE(text.find("ended: asked to stop"), std::string::npos) << text;
}

} // namespace
} // namespace zkv::helper

namespace zkv::helper {
namespace {

TEST(DiskHelperHardware, OnlyTheGrantedRangesAreReachedAndNoRangeGrantsNothing) {
    SimFile sim;
    std::string error;
    auto hw = HelperHardware::Open(sim.Hardware(), error);
    ASSERT_TRUE(hw) << error;
    // Nothing before a grant; no grant for no range or one wider than a channel's block.
    EXPECT_EQ(hw->Port().ReadByte(0x1F7), 0);
    EXPECT_FALSE(hw->Grant({}, error));
    EXPECT_FALSE(hw->Grant({{0, 0xFFFF}}, error));
    EXPECT_FALSE(hw->Grant({{0x1F0, 0x10000}}, error));
    EXPECT_FALSE(hw->Port().IsOpen());

    ASSERT_TRUE(hw->Grant({{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, error)) << error;
    EXPECT_EQ(hw->Port().ReadByte(0x1F7), 0x50); // the disk's status: ready
    const std::uint64_t before = hw->Gate().Refused();
    EXPECT_EQ(hw->Port().ReadByte(0x177), 0); // the secondary channel's status
    hw->Port().WriteByte(0x176, 0xB0);
    EXPECT_EQ(hw->Port().ReadDWord(0x1F6), 0u); // runs past the command block's end
    EXPECT_EQ(hw->Gate().Refused(), before + 3);

    hw->Revoke();
    EXPECT_EQ(hw->Port().ReadByte(0x1F7), 0);
    EXPECT_EQ(hw->Gate().Refused(), before + 4);
}

} // namespace
} // namespace zkv::helper
