// TfrmScanResult: the window "Drive Surface scan" over the scan's view model: the map with its
// legend, the Summary and Report tabs, and the progress bar. It repaints once per batch and asks
// before a close stops a running scan.
//
// TScanSurfaceHost is what the work form owns: the scan service, this window, and the
// synchronised calls into the Qt main thread.
#pragma once

#include "tools/ScanService.h"
#include "tools/ui/QtMainThread.h"

#include <QWidget>

#include <memory>

class QLabel;
class QProgressBar;
class QTabWidget;
class QTableWidget;

namespace zkv {

class TScanMapWidget : public QWidget {
public:
    TScanMapWidget(const ScanMap& map, QWidget* parent = nullptr);
    int Paints() const { return paints_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    const ScanMap& map_;
    int paints_ = 0;
};

class TfrmScanResult : public QWidget, public IScanObserver {
public:
    explicit TfrmScanResult(ScanService& service, QWidget* parent = nullptr);
    ~TfrmScanResult() override;

    // --- IScanObserver (main thread) ---
    void ScanStarted() override;
    void BatchDone() override;
    void ScanEnded() override;

    QTabWidget* pcTabs;
    TScanMapWidget* pbMap;
    QLabel* lblRectangle;
    QTableWidget* vleSummary;
    QTableWidget* sgReport;
    QProgressBar* pbProgress;

protected:
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void ShowModel();

    ScanService& service_;
    std::size_t reportShown_ = 0;
};

class TScanSurfaceHost {
public:
    TScanSurfaceHost();
    ~TScanSurfaceHost();

    ScanService& Service() { return *service_; }
    TfrmScanResult& View() { return *view_; }
    // The chosen channel's device, and where results go.
    void SetDeviceSource(ScanService::DeviceSource device) { service_->SetDeviceSource(device); }
    void SetLink(ITechnicianLink* link) { service_->SetLink(link); }
    // The technician left, the connection dropped, the window closes or hides, a reset comes.
    void StopScan() { service_->RequestStop(); }

private:
    QtMainThread main_;
    std::unique_ptr<ScanService> service_;
    std::unique_ptr<TfrmScanResult> view_;
};

} // namespace zkv
