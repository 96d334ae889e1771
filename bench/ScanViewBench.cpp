// The scan window's cost for a full map: the model's batch update of 3978 results (one cell
// each, scrolling a full map; read-time classes only, so that the report stays as it is), the map's
// repaint into an image, and both together.
#include "tools/ui/TfrmScanView.h"

#include <QApplication>
#include <QImage>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace zkv;

std::vector<ScanSurfaceResult> FullMapBatch() {
    std::vector<ScanSurfaceResult> batch;
    for (int i = 0; i < ScanMap::kCells; ++i) {
        ScanSurfaceResult r{std::int64_t{i} * 256, 256, std::uint32_t(i % 37), 0x50, 0,
                            RES_VERIFY_DONE,       0};
        batch.push_back(r);
    }
    return batch;
}

ScanSurfaceParams Params() {
    ScanSurfaceParams p;
    p.count = 1 << 30;
    p.timeout = {5, 10, 20, 50, 150, 500};
    return p;
}

void BM_BatchUpdateFullMap(benchmark::State& state) {
    ScanViewModel m;
    m.Reset(Params(), 0);
    auto batch = FullMapBatch();
    for (auto _ : state)
        m.BatchUpdate(batch, 1);
    state.SetItemsProcessed(state.iterations() * ScanMap::kCells);
}
BENCHMARK(BM_BatchUpdateFullMap)->Unit(benchmark::kMicrosecond);

void BM_RepaintFullMap(benchmark::State& state) {
    ScanViewModel m;
    m.Reset(Params(), 0);
    m.BatchUpdate(FullMapBatch(), 1);
    TScanMapWidget w(m.Map());
    QImage img(ScanMap::kWidthPx, ScanMap::kHeightPx, QImage::Format_RGB32);
    for (auto _ : state)
        w.render(&img);
}
BENCHMARK(BM_RepaintFullMap)->Unit(benchmark::kMicrosecond);

void BM_BatchUpdateAndRepaint(benchmark::State& state) {
    ScanViewModel m;
    m.Reset(Params(), 0);
    auto batch = FullMapBatch();
    TScanMapWidget w(m.Map());
    QImage img(ScanMap::kWidthPx, ScanMap::kHeightPx, QImage::Format_RGB32);
    for (auto _ : state) {
        m.BatchUpdate(batch, 1);
        w.render(&img);
    }
}
BENCHMARK(BM_BatchUpdateAndRepaint)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
