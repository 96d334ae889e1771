// zelkova-ata scan on simulated hardware: JSON lines, the summary and the exit status.
#include "ScanSupport.h"

#include "programs/ata/AtaTool.h"
#include "tests/support/ClientHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace zkv {
namespace {

TEST(ScanVerb, LinesSummaryAndExitStatus) {
    test::TempDir dir;
    const std::string hw = (dir.Path() / "hw.json").string();
    std::ofstream(hw) << R"({"channels":[{"command_block":496,"control_block":1014,
        "master":{"type":"disk","sectors":1048576,"lba48":true,
                  "defects":[{"lba":70000,"error":"UNC"},{"lba":140000,"error":"IDNF"}]}}]})";
    auto run = [&](std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), {"--hardware", "sim:" + hw});
        std::ostringstream o, e;
        int rc = RunAtaTool(args, o, e);
        out = o.str();
        return rc;
    };
    std::string out;
    ASSERT_EQ(run({"scan", "1000", "200000", "--lba48", "--attempts", "2", "--slice", "5",
                   "--thresholds", "1,2,3,4,5,6"},
                  out),
              0);
    std::istringstream lines(out);
    std::string line;
    std::int64_t next = 1000;
    std::vector<std::int64_t> bad;
    nlohmann::json summary;
    while (std::getline(lines, line)) {
        auto j = nlohmann::json::parse(line);
        if (j.contains("summary")) {
            summary = j["summary"];
            continue;
        }
        EXPECT_EQ(j["lba"].get<std::int64_t>(), next);
        next += j["sectors"].get<std::int64_t>();
        if (j["flags"].get<int>() & RES_VERIFY_ERROR)
            bad.push_back(j["lba"].get<std::int64_t>());
    }
    EXPECT_EQ(next, 201000);
    EXPECT_EQ(bad, (std::vector<std::int64_t>{70000, 140000}));
    EXPECT_EQ(summary["processed_sectors"], 200000);
    EXPECT_EQ(summary["unc"], 1);
    EXPECT_EQ(summary["idnf"], 1);
    EXPECT_EQ(summary["sectors_per_rectangle"], 65535);
    EXPECT_EQ(summary["completed"], true);

    EXPECT_EQ(run({"scan", "0", "0"}, out), 2);
    EXPECT_EQ(run({"scan", "0", "10", "--thresholds", "5,4,3,2,1,0"}, out), 2);
    EXPECT_EQ(run({"scan", "0", "10", "--bogus"}, out), 2);
    // Past the end of the drive: every sector answers IDNF, the scan still completes.
    EXPECT_EQ(run({"scan", "1048570", "10"}, out), 0);
}

} // namespace
} // namespace zkv
