#include "tools/ScanResultModel.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zkv {

namespace {

constexpr std::uint32_t Bgr(std::uint32_t rgb) {
    return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
}

constexpr std::array<BlockClassInfo, kClassCount> kClasses = {{
    {0xFFFFFF, Bgr(0xFFFFFF), "", ""},
    {0xB2DDB7, Bgr(0xB2DDB7), "no error", "Timeout 1"},
    {0x7DC685, Bgr(0x7DC685), "no error", "Timeout 2"},
    {0x60A465, Bgr(0x60A465), "no error", "Timeout 3"},
    {0x92A815, Bgr(0x92A815), "long read time", "Timeout 4"},
    {0xCA9229, Bgr(0xCA9229), "very long read time", "Timeout 5"},
    {0xF1770A, Bgr(0xF1770A), "critical read time", "Timeout 6"},
    {0xF02509, Bgr(0xF02509), "HDD stalled", "HDD Stalled"},
    {0x371AE6, Bgr(0x371AE6), "ABORT", "ABORT Errors"},
    {0xAE3EDD, Bgr(0xAE3EDD), "ID not found", "IDNF Errors"},
    {0x6F1BBE, Bgr(0x6F1BBE), "uncorrectable error", "UNC Errors"},
    {0xE61D8E, Bgr(0xE61D8E), "other error", "Other Errors"},
}};
static_assert(kClasses[1].tcolor == 12049842 && kClasses[7].tcolor == 599536 &&
              kClasses[8].tcolor == 15079991 && kClasses[11].tcolor == 9313766);

constexpr BlockClassInfo kUnknown = {0xFFFFFF, Bgr(0xFFFFFF), "unknown error", ""};

const char* DoneText(const ScanSurfaceResult& r, std::uint32_t done, std::uint32_t error) {
    if (!r.Has(done))
        return "did not do";
    return r.Has(error) ? "error" : "ok";
}

} // namespace

const BlockClassInfo& ClassInfo(int cls) {
    if (cls < 0 || cls >= kClassCount)
        return kUnknown;
    return kClasses[static_cast<std::size_t>(cls)];
}

std::string_view ClassText(int cls) {
    if (cls < 1 || cls >= kClassCount)
        return "unknown error";
    return kClasses[static_cast<std::size_t>(cls)].text;
}

int BlockClass(const ScanSurfaceResult& r, const std::array<std::int32_t, 6>& t) {
    if (r.Has(RES_VERIFY_ERROR)) {
        if (r.code == ATA_TIMEOUT)
            return kClassStalled;
        if (r.error & 0x04)
            return kClassAbort;
        if (r.error & 0x10)
            return kClassIdnf;
        if (r.error & 0x40)
            return kClassUnc;
        return kClassOther;
    }
    const auto time = static_cast<std::int32_t>(r.timeMs); // signed comparison
    for (int i = 0; i < 6; ++i)
        if (time <= t[static_cast<std::size_t>(i)])
            return i + 1;
    return kClassStalled;
}

int CounterIndex(int cls) {
    switch (cls) {
    case kClassIdnf:
        return 9;
    case kClassUnc:
        return 8;
    default:
        return cls >= 1 && cls < kClassCount ? cls - 1 : -1;
    }
}

double NowDays() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() / 86400.0;
}

// ---- the map ------------------------------------------------------------------------------

void ScanMap::Reset() {
    cells_.fill(0);
    pendingCount_ = 0;
    free_ = kCells;
    accSectors_ = 0;
    accClass_ = 0;
}

void ScanMap::Emit(std::uint8_t cls) {
    if (pendingCount_ == kCells)
        Flush();
    pending_[static_cast<std::size_t>(pendingCount_++)] = cls;
}

void ScanMap::AddResult(std::int64_t sectors, int cls, std::int64_t perRectangle) {
    if (sectors == perRectangle) {
        Emit(static_cast<std::uint8_t>(cls));
        accSectors_ = 0;
        accClass_ = 0;
        return;
    }
    if (cls > accClass_)
        accClass_ = cls;
    accSectors_ += sectors;
    if (accSectors_ >= perRectangle) {
        Emit(static_cast<std::uint8_t>(accClass_));
        accSectors_ = 0;
        accClass_ = 0;
    }
}

void ScanMap::Flush() {
    Append(pending_.data(), pendingCount_);
    pendingCount_ = 0;
}

void ScanMap::Append(const std::uint8_t* cells, int n) {
    if (n <= 0)
        return;
    if (n > free_) {
        // Whole rows leave the top; never more than the map holds.
        const int used = kCells - free_;
        int dropped = kCols * ((n - free_) / kCols + 1);
        if (dropped > used)
            dropped = used;
        std::memmove(cells_.data(), cells_.data() + dropped,
                     static_cast<std::size_t>(used - dropped));
        free_ += dropped;
    }
    const int at = kCells - free_;
    std::memset(cells_.data() + at, 0, static_cast<std::size_t>(free_));
    std::memcpy(cells_.data() + at, cells, static_cast<std::size_t>(n));
    free_ -= n;
}

void ScanMap::Paint(IMapCanvas& canvas) const {
    int brush = -1;
    for (int row = 0; row < kRows; ++row) {
        for (int col = 0; col < kCols; ++col) {
            const int cls = cells_[static_cast<std::size_t>(row * kCols + col)];
            // An unknown class keeps the previous cell's colour.
            if (cls != brush && cls < kClassCount) {
                canvas.SetBrush(kClasses[static_cast<std::size_t>(cls)].rgb);
                brush = cls;
            }
            canvas.FillRect(col * kPitchPx, row * kPitchPx, kCellPx, kCellPx);
        }
    }
}

// ---- the view model -----------------------------------------------------------------------

const std::array<std::string_view, 17>& ScanViewModel::SummaryNames() {
    static const std::array<std::string_view, 17> names = {
        "Total sectors",  "Start sector", "Current sector", "Current percent", "Elapsed time",
        "Remaining time", "Timeout 1 ",   "Timeout 2 ",     "Timeout 3 ",      "Timeout 4 ",
        "Timeout 5 ",     "Timeout 6 ",   "HDD Stalled",    "ABORT Errors",    "UNC Errors",
        "IDNF Errors",    "Other Errors"};
    return names;
}

const std::array<std::pair<std::string_view, int>, 11>& ScanViewModel::Legend() {
    static const std::array<std::pair<std::string_view, int>, 11> legend = {{
        {"Timeout 1", 1},
        {"Timeout 2", 2},
        {"Timeout 3", 3},
        {"Timeout 4", 4},
        {"Timeout 5", 5},
        {"Timeout 6", 6},
        {"HDD Stall", 7},
        {"Err ABRT", 8},
        {"Err UNC", 10},
        {"Err IDNF", 9},
        {"Err other", 11},
    }};
    return legend;
}

void ScanViewModel::Reset(const ScanSurfaceParams& p, double nowDays) {
    stats_ = ScanStatistics{};
    stats_.startTime = nowDays;
    stats_.totalSectors = p.count;
    stats_.startSector = p.start;
    stats_.sectorsPerRectangle = p.Has(SCAN_LBA48) ? kScanBlock48 : kScanBlock28;
    for (std::size_t i = 0; i < 6; ++i)
        stats_.thresholds[i] = static_cast<std::int32_t>(p.timeout[i]);
    map_.Reset();
    report_.clear();
    summary_.fill("0");
    progress_ = 0;
    batches_ = 0;
}

std::string ScanViewModel::RectangleLabel() const {
    return "One rectangle is equal to " + std::to_string(stats_.sectorsPerRectangle) + " sectors";
}

std::string ScanViewModel::TimeOfDayText(double days) {
    if (!(days > 0))
        days = 0;
    const auto secs = static_cast<std::int64_t>(std::floor(days * 86400.0 + 0.5)) % 86400;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(secs / 3600),
                  static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
    return buf;
}

void ScanViewModel::BatchUpdate(std::span<const ScanSurfaceResult> batch, double nowDays) {
    ++batches_;
    stats_.elapsed = nowDays - stats_.startTime;
    const std::int64_t perRect = stats_.sectorsPerRectangle;
    for (const ScanSurfaceResult& r : batch) {
        stats_.processedSectors += r.sectors;
        const int cls = BlockClass(r, stats_.thresholds);
        map_.AddResult(r.sectors, cls, perRect);
        if (r.Has(RES_VERIFY_ERROR)) {
            ScanReportRow row;
            row.cells[0] = std::to_string(r.lba);
            row.cells[1] = "error " + std::string(ClassText(cls));
            row.cells[2] = DoneText(r, RES_REMAP_DONE, RES_REMAP_ERROR);
            row.cells[3] = DoneText(r, RES_WRITE_DONE, RES_WRITE_ERROR);
            row.cells[4] = DoneText(r, RES_CTLREAD_DONE, RES_CTLREAD_ERROR);
            report_.push_back(std::move(row));
        }
        if (int c = CounterIndex(cls); c >= 0)
            stats_.counters[static_cast<std::size_t>(c)] += r.sectors;
    }
    map_.Flush();

    if (stats_.totalSectors > 0)
        stats_.percent =
            static_cast<std::int32_t>(stats_.processedSectors * 100 / stats_.totalSectors);
    progress_ = stats_.percent;
    if (stats_.percent != 0)
        stats_.remaining = stats_.elapsed * (100 - stats_.percent) / stats_.percent;

    summary_[0] = std::to_string(stats_.totalSectors);
    summary_[1] = std::to_string(stats_.startSector);
    summary_[2] = std::to_string(stats_.processedSectors);
    summary_[3] = std::to_string(stats_.percent);
    summary_[4] = TimeOfDayText(stats_.elapsed);
    summary_[5] = TimeOfDayText(stats_.remaining);
    for (std::size_t i = 0; i < 11; ++i)
        summary_[6 + i] = std::to_string(stats_.counters[i]);
}

} // namespace zkv
