#include "tools/ui/TfrmScanView.h"

#include "tools/MessageDialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace zkv {

namespace {

class PainterCanvas final : public IMapCanvas {
public:
    explicit PainterCanvas(QPainter& p) : p_(p) {}
    void SetBrush(std::uint32_t rgb) override {
        const QColor c(QRgb(0xFF000000u | rgb));
        p_.setBrush(c);
        p_.setPen(c);
    }
    void FillRect(int x, int y, int w, int h) override { p_.drawRect(x, y, w - 1, h - 1); }

private:
    QPainter& p_;
};

QTableWidgetItem* Cell(const std::string& text) {
    auto* item = new QTableWidgetItem(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsEnabled);
    return item;
}

} // namespace

TScanMapWidget::TScanMapWidget(const ScanMap& map, QWidget* parent) : QWidget(parent), map_(map) {
    setFixedSize(ScanMap::kWidthPx, ScanMap::kHeightPx);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TScanMapWidget::paintEvent(QPaintEvent*) {
    ++paints_;
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    PainterCanvas canvas(p);
    map_.Paint(canvas);
}

TfrmScanResult::TfrmScanResult(ScanService& service, QWidget* parent)
    : QWidget(parent, Qt::Window), service_(service) {
    setObjectName("frmScanResult");
    // A side window: closing the work form ends the program even while this one shows.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QString::fromUtf8(ScanViewModel::kCaption.data(),
                                     static_cast<qsizetype>(ScanViewModel::kCaption.size())));
    setMaximumSize(826, 558);
    resize(826, 558);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(4, 4, 4, 4);
    pcTabs = new QTabWidget(this);
    root->addWidget(pcTabs, 1);

    // Graphics: the legend on the left, the map in a scroll box.
    auto* graphics = new QWidget;
    auto* gl = new QHBoxLayout(graphics);
    gl->setContentsMargins(2, 2, 2, 2);
    gl->setSpacing(4);
    auto* legend = new QWidget(graphics);
    legend->setFixedWidth(90);
    auto* ll = new QVBoxLayout(legend);
    ll->setContentsMargins(2, 2, 2, 2);
    ll->setSpacing(3);
    for (const auto& [label, cls] : ScanViewModel::Legend()) {
        auto* row = new QHBoxLayout;
        auto* swatch = new QLabel(legend);
        swatch->setFixedSize(14, 14);
        swatch->setStyleSheet(QString("background: #%1; border: 1px solid #808080;")
                                  .arg(ClassInfo(cls).rgb, 6, 16, QChar('0')));
        row->addWidget(swatch);
        row->addWidget(
            new QLabel(QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size())),
                       legend),
            1);
        ll->addLayout(row);
    }
    lblRectangle = new QLabel(legend);
    lblRectangle->setWordWrap(true);
    ll->addSpacing(6);
    ll->addWidget(lblRectangle);
    auto* notice =
        new QLabel(QString::fromUtf8(ScanViewModel::kNotice.data(),
                                     static_cast<qsizetype>(ScanViewModel::kNotice.size())),
                   legend);
    notice->setWordWrap(true);
    notice->setStyleSheet("color: #800000;");
    ll->addWidget(notice);
    ll->addStretch(1);
    gl->addWidget(legend);
    auto* scroll = new QScrollArea(graphics);
    scroll->setFrameShape(QFrame::NoFrame);
    pbMap = new TScanMapWidget(service_.Model().Map());
    scroll->setWidget(pbMap);
    gl->addWidget(scroll, 1);
    pcTabs->addTab(graphics, "Graphics");

    // Summary: a name/value list.
    vleSummary = new QTableWidget(static_cast<int>(ScanViewModel::SummaryNames().size()), 2);
    vleSummary->setHorizontalHeaderLabels({"Name", "Value"});
    vleSummary->verticalHeader()->hide();
    vleSummary->horizontalHeader()->setStretchLastSection(true);
    vleSummary->setColumnWidth(0, 180);
    for (int i = 0; i < vleSummary->rowCount(); ++i) {
        vleSummary->setItem(
            i, 0, Cell(std::string(ScanViewModel::SummaryNames()[static_cast<std::size_t>(i)])));
        vleSummary->setItem(i, 1, Cell("0"));
    }
    pcTabs->addTab(vleSummary, "Summary");

    // Report: one row per bad block.
    sgReport = new QTableWidget(0, 5);
    QStringList header;
    for (auto h : ScanViewModel::kReportHeader)
        header << QString::fromUtf8(h.data(), static_cast<qsizetype>(h.size()));
    sgReport->setHorizontalHeaderLabels(header);
    sgReport->verticalHeader()->hide();
    pcTabs->addTab(sgReport, "Report");

    pbProgress = new QProgressBar(this);
    pbProgress->setRange(0, 100);
    pbProgress->setValue(0);
    root->addWidget(pbProgress);

    service_.SetObserver(this);
}

TfrmScanResult::~TfrmScanResult() {
    service_.SetObserver(nullptr);
    service_.RequestStop();
}

void TfrmScanResult::ScanStarted() {
    reportShown_ = 0;
    sgReport->setRowCount(0);
    ShowModel();
    pbMap->repaint();
    show();
    raise();
}

void TfrmScanResult::BatchDone() {
    ShowModel();
    pbMap->repaint(); // once per batch
}

void TfrmScanResult::ScanEnded() {
    pbProgress->setValue(0);
}

void TfrmScanResult::ShowModel() {
    const ScanViewModel& m = service_.Model();
    lblRectangle->setText(QString::fromStdString(m.RectangleLabel()));
    const auto& values = m.SummaryValues();
    for (std::size_t i = 0; i < values.size(); ++i)
        vleSummary->item(static_cast<int>(i), 1)->setText(QString::fromStdString(values[i]));
    const auto& report = m.Report();
    if (report.size() > reportShown_) {
        sgReport->setRowCount(static_cast<int>(report.size()));
        for (; reportShown_ < report.size(); ++reportShown_)
            for (int c = 0; c < 5; ++c)
                sgReport->setItem(static_cast<int>(reportShown_), c,
                                  Cell(report[reportShown_].cells[static_cast<std::size_t>(c)]));
    }
    pbProgress->setValue(m.Progress());
}

void TfrmScanResult::closeEvent(QCloseEvent* e) {
    if (service_.ScanRunning()) {
        if (!AskYesNo("Do you want to stop scan?")) {
            e->ignore(); // the scan goes on, the window stays
            return;
        }
        service_.RequestStop();
    }
    e->accept(); // the window only hides; it lives as long as the program
}

void TfrmScanResult::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    sgReport->horizontalHeader()->setDefaultSectionSize(std::max(sgReport->width() / 5, 20));
}

TScanSurfaceHost::TScanSurfaceHost() {
    service_ = std::make_unique<ScanService>(ScanService::DeviceSource{}, nullptr, main_);
    view_ = std::make_unique<TfrmScanResult>(*service_);
}

TScanSurfaceHost::~TScanSurfaceHost() {
    service_->RequestStop();
    service_->WaitForEnd();
    view_.reset();
    service_.reset();
}

} // namespace zkv
