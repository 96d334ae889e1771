// The scan result view without widgets: the statistics, the block classes, the 51 x 78 map with
// its accumulator, the report rows and the summary values. The Qt window paints what this model
// holds; tests drive it directly.
#pragma once

#include "tools/ScanSurface.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

// Block classes 0..11 (0 = map cell not yet scanned).
inline constexpr int kClassCount = 12;
inline constexpr int kClassStalled = 7, kClassAbort = 8, kClassIdnf = 9, kClassUnc = 10,
                     kClassOther = 11;

struct BlockClassInfo {
    std::uint32_t rgb;        // 0xRRGGBB
    std::uint32_t tcolor;     // the same colour as a 0x00BBGGRR value
    std::string_view text;    // "no error", ... (empty for class 0)
    std::string_view counter; // summary row of its counter (empty for class 0)
};

// The class table; out of range gives the entry of class 0 with the text "unknown error".
const BlockClassInfo& ClassInfo(int cls);
std::string_view ClassText(int cls);
// The class of one result under the thresholds T1..T6.
int BlockClass(const ScanSurfaceResult& r, const std::array<std::int32_t, 6>& thresholds);
// The statistics counter (0..10: Timeout 1..6, HDD Stalled, ABORT, UNC, IDNF, Other) of a class
// 1..11, or -1.
int CounterIndex(int cls);

struct ScanStatistics {
    std::int64_t totalSectors = 0;
    std::int64_t startSector = 0;
    std::int64_t processedSectors = 0;
    std::int32_t percent = 0;
    std::int32_t sectorsPerRectangle = 0;
    double elapsed = 0;   // days
    double startTime = 0; // days since the epoch
    double remaining = 0; // days
    std::array<std::int64_t, 11> counters{};
    std::array<std::int32_t, 6> thresholds{};
};

// Receives the drawing of the map: one brush colour at a time, then filled rectangles.
class IMapCanvas {
public:
    virtual ~IMapCanvas() = default;
    virtual void SetBrush(std::uint32_t rgb) = 0;
    virtual void FillRect(int x, int y, int w, int h) = 0;
};

// The map: a fixed buffer of 51 x 78 one-byte cells, filled row by row, scrolled by whole rows.
class ScanMap {
public:
    static constexpr int kRows = 51, kCols = 78, kCells = kRows * kCols; // 3978
    static constexpr int kCellPx = 8, kPitchPx = 9;
    static constexpr int kWidthPx = kCols * kPitchPx, kHeightPx = kRows * kPitchPx; // 702 x 459

    void Reset();
    // One result of `sectors` sectors and class `cls`, with `perRectangle` sectors per cell.
    void AddResult(std::int64_t sectors, int cls, std::int64_t perRectangle);
    // Writes the cells gathered since the last flush into the map (scrolling as needed).
    void Flush();

    std::span<const std::uint8_t> Cells() const { return cells_; }
    int FreeCells() const { return free_; }
    std::int64_t AccumulatedSectors() const { return accSectors_; }
    int AccumulatedClass() const { return accClass_; }
    // Paints every cell, row by row; the brush changes only where the class changes.
    void Paint(IMapCanvas& canvas) const;

private:
    void Emit(std::uint8_t cls);
    void Append(const std::uint8_t* cells, int n);

    std::array<std::uint8_t, kCells> cells_{};
    std::array<std::uint8_t, kCells> pending_{};
    int pendingCount_ = 0;
    int free_ = kCells;
    std::int64_t accSectors_ = 0;
    int accClass_ = 0;
};

struct ScanReportRow {
    std::array<std::string, 5> cells; // sector, verify, remap, write, control read
};

class ScanViewModel {
public:
    static constexpr std::array<std::string_view, 5> kReportHeader = {
        "Sector Number", "Verify result", "Remap result", "Write result", "Control Read result"};
    // The summary rows, in order (the timeout rows end in a blank).
    static const std::array<std::string_view, 17>& SummaryNames();
    // The legend: label and class of each swatch, in order.
    static const std::array<std::pair<std::string_view, int>, 11>& Legend();
    static constexpr std::string_view kNotice =
        "Please, do not switch to another applications during Surface Scan.";
    static constexpr std::string_view kCaption = "Drive Surface scan";

    // The scan start: zeroed statistics filled from the parameters, map and report cleared.
    void Reset(const ScanSurfaceParams& params, double nowDays);
    // Processes one slice's results (in scan order) at time `nowDays`.
    void BatchUpdate(std::span<const ScanSurfaceResult> batch, double nowDays);
    // The end of a scan: progress back to 0.
    void ScanEnded() { progress_ = 0; }

    const ScanStatistics& Statistics() const { return stats_; }
    const ScanMap& Map() const { return map_; }
    const std::vector<ScanReportRow>& Report() const { return report_; }
    // The values of the summary rows (same order as SummaryNames()).
    const std::array<std::string, 17>& SummaryValues() const { return summary_; }
    std::string RectangleLabel() const;
    int Progress() const { return progress_; }
    std::uint64_t Batches() const { return batches_; }

    // "hh:mm:ss" of a duration in days (the time-of-day form the summary shows).
    static std::string TimeOfDayText(double days);

private:
    ScanStatistics stats_;
    ScanMap map_;
    std::vector<ScanReportRow> report_;
    std::array<std::string, 17> summary_{};
    int progress_ = 0;
    std::uint64_t batches_ = 0;
};

// Days since the epoch, now (the time base of the statistics).
double NowDays();

} // namespace zkv
