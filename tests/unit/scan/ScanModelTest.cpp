// The scan view model without widgets: classes, map, painting, summary and report.
#include "tools/ScanResultModel.h"

#include <gtest/gtest.h>

namespace zkv {
namespace {

ScanSurfaceResult Ok(std::int64_t lba, std::int64_t sectors, std::uint32_t ms) {
    return {lba, sectors, ms, 0x50, 0, RES_VERIFY_DONE, 0};
}
ScanSurfaceResult Bad(std::int64_t lba, std::uint32_t error,
                      std::uint32_t code = ATA_DEVICE_ERROR) {
    return {lba, 1, 1, 0x51, error, RES_VERIFY_DONE | RES_VERIFY_ERROR, code};
}

TEST(ScanModel, ClassesColoursAndTexts) {
    const std::array<std::int32_t, 6> t = {5, 10, 20, 50, 150, 500};
    EXPECT_EQ(BlockClass(Ok(0, 256, 20), t), 3);
    EXPECT_EQ(BlockClass(Ok(0, 256, 21), t), 4);
    EXPECT_EQ(BlockClass(Ok(0, 256, 501), t), kClassStalled);
    EXPECT_EQ(BlockClass(Ok(0, 256, 0x80000000u), t), 1); // signed: a negative time
    EXPECT_EQ(BlockClass(Bad(0, 0x44), t), kClassAbort);  // ABRT and UNC: ABORT
    EXPECT_EQ(BlockClass(Bad(0, 0x50), t), kClassIdnf);
    EXPECT_EQ(BlockClass(Bad(0, 0x40), t), kClassUnc);
    EXPECT_EQ(BlockClass(Bad(0, 0x01), t), kClassOther);
    EXPECT_EQ(BlockClass(Bad(0, 0x40, ATA_TIMEOUT), t), kClassStalled);
    EXPECT_EQ(ClassInfo(1).tcolor, 12049842u);
    EXPECT_EQ(ClassInfo(10).rgb, 0x6F1BBEu);
    EXPECT_EQ(ClassInfo(9).tcolor, 14499502u);
    EXPECT_EQ(ClassText(6), "critical read time");
    EXPECT_EQ(ClassText(42), "unknown error");
    EXPECT_EQ(ScanViewModel::Legend()[8].first, "Err UNC");
    EXPECT_EQ(ScanViewModel::Legend()[8].second, 10);
    EXPECT_EQ(ScanViewModel::SummaryNames()[6], "Timeout 1 ");
}

TEST(ScanModel, AccumulatorScrollingAndPainting) {
    ScanMap map;
    map.Reset();
    // A narrowed 65535-block: 255 blocks of 256 and one of 255, one of them bad: one cell of
    // the highest class.
    for (int i = 0; i < 255; ++i)
        map.AddResult(256, i == 7 ? kClassUnc : 2, 65535);
    map.AddResult(255, 1, 65535);
    map.AddResult(65535, 3, 65535);
    map.AddResult(100, 1, 65535); // a last, partial block stays in the accumulator
    map.Flush();
    EXPECT_EQ(map.FreeCells(), ScanMap::kCells - 2);
    EXPECT_EQ(map.Cells()[0], kClassUnc);
    EXPECT_EQ(map.Cells()[1], 3);
    EXPECT_EQ(map.AccumulatedSectors(), 100);

    // Full but for 10 cells, then 20 more: one whole row leaves the top.
    map.Reset();
    for (int i = 0; i < ScanMap::kCells - 10; ++i)
        map.AddResult(256, 1 + (i / ScanMap::kCols) % 6, 256);
    map.Flush();
    for (int i = 0; i < 20; ++i)
        map.AddResult(256, kClassAbort, 256);
    map.Flush();
    EXPECT_EQ(map.FreeCells(), 10 + ScanMap::kCols - 20);
    EXPECT_EQ(map.Cells()[0], 2); // what was row 1
    EXPECT_EQ(map.Cells()[ScanMap::kCells - 68 - 1], kClassAbort);
    EXPECT_EQ(map.Cells()[ScanMap::kCells - 68], 0);
    // More cells than the map holds, in one go: the map shows the newest ones.
    for (int i = 0; i < 3 * ScanMap::kCells + 5; ++i)
        map.AddResult(256, i < 3 * ScanMap::kCells ? 4 : kClassIdnf, 256);
    map.Flush();
    EXPECT_EQ(map.Cells()[ScanMap::kCells - map.FreeCells() - 1], kClassIdnf);

    struct Canvas : IMapCanvas {
        int brushes = 0, rects = 0, maxX = 0, maxY = 0;
        void SetBrush(std::uint32_t) override { ++brushes; }
        void FillRect(int x, int y, int w, int h) override {
            ++rects;
            maxX = std::max(maxX, x + w);
            maxY = std::max(maxY, y + h);
        }
    } c;
    int runs = 0, prev = -1;
    for (std::uint8_t cls : map.Cells()) {
        runs += cls != prev;
        prev = cls;
    }
    map.Paint(c);
    EXPECT_EQ(c.rects, ScanMap::kCells);
    EXPECT_EQ(c.brushes, runs);
    EXPECT_EQ(c.maxX, 701);
    EXPECT_EQ(c.maxY, 458);
}

// Percent and remaining time (left as it was at 0 percent); the summary's time-of-day form.
TEST(ScanModel, PercentAndRemainingTime) {
    ScanSurfaceParams p;
    p.start = 1000;
    p.count = 1024;
    ScanViewModel m;
    m.Reset(p, 100.0);
    std::vector<ScanSurfaceResult> batch = {Ok(1000, 5, 1)};
    m.BatchUpdate(batch, 100.5);
    EXPECT_EQ(m.Statistics().percent, 0);
    EXPECT_EQ(m.Statistics().remaining, 0);
    batch = {Ok(1005, 251, 1), Bad(1256, 0x10), Ok(1257, 255, 30)};
    m.BatchUpdate(batch, 101.0);
    EXPECT_EQ(m.Statistics().percent, 50);
    EXPECT_DOUBLE_EQ(m.Statistics().remaining, 1.0);
    EXPECT_EQ(m.SummaryValues()[2], "512");
    EXPECT_EQ(m.SummaryValues()[4], "00:00:00"); // a whole day shows as a time of day
    EXPECT_EQ(ScanViewModel::TimeOfDayText(1.5 / 24), "01:30:00");
}

} // namespace
} // namespace zkv
