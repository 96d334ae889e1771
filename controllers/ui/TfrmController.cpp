#include "controllers/ui/TfrmController.h"

#include "controllers/ControllerList.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace zkv {
namespace {

constexpr int kEntryRole = Qt::UserRole + 1;

void DrawController(QPainter& p) {
    // A controller card: a green board with a chip, gold pins and a connector.
    p.setPen(QPen(QColor(20, 90, 40), 1));
    p.setBrush(QColor(40, 150, 70));
    p.drawRoundedRect(QRectF(2, 7, 28, 18), 2, 2);
    p.setBrush(QColor(35, 35, 40));
    p.drawRect(QRectF(8, 10, 11, 9));
    p.setPen(QPen(QColor(220, 180, 60), 1.5));
    for (int x = 5; x <= 27; x += 3)
        p.drawLine(QPointF(x, 25), QPointF(x, 29));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(230, 230, 230));
    p.drawRect(QRectF(22, 10, 6, 12));
}

void DrawRaid(QPainter& p) {
    // Three stacked disks.
    for (int i = 0; i < 3; ++i) {
        const qreal y = 4 + i * 8;
        p.setPen(QPen(QColor(60, 60, 90), 1));
        p.setBrush(QColor(120, 130, 190));
        p.drawRoundedRect(QRectF(4, y, 24, 7), 2, 2);
        p.setBrush(QColor(120, 230, 120));
        p.drawEllipse(QRectF(23, y + 2.5, 3, 3));
    }
}

void DrawPassThroughDisk(QPainter& p) {
    // A hard disk seen from above (case, platter, arm) with its cable leaving to the right.
    p.setPen(QPen(QColor(70, 70, 80), 1));
    p.setBrush(QColor(185, 190, 200));
    p.drawRoundedRect(QRectF(3, 3, 20, 26), 2, 2);
    p.setBrush(QColor(225, 228, 235));
    p.drawEllipse(QRectF(5, 6, 16, 16));
    p.setBrush(QColor(90, 90, 100));
    p.drawEllipse(QRectF(11.5, 12.5, 3, 3));
    p.setPen(QPen(QColor(60, 60, 70), 1.5));
    p.drawLine(QPointF(19, 25), QPointF(14, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 30, 35));
    p.drawRect(QRectF(23, 20, 3, 6));
    p.setPen(QPen(QColor(200, 60, 40), 2));
    p.drawLine(QPointF(26, 23), QPointF(31, 23));
}

void DrawDisabledOverlay(QPainter& p) {
    // A red no-entry sign in the lower left corner.
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(QColor(210, 30, 30));
    p.drawEllipse(QRectF(0, 18, 14, 14));
    p.setPen(QPen(Qt::white, 2.5));
    p.drawLine(QPointF(3, 25), QPointF(11, 25));
}

void DrawFixedOverlay(QPainter& p) {
    // A padlock in the lower right corner.
    p.setPen(QPen(QColor(90, 70, 10), 2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(21, 17, 8, 9), 0, 180 * 16);
    p.setPen(QPen(QColor(90, 70, 10), 1));
    p.setBrush(QColor(240, 190, 40));
    p.drawRect(QRectF(19, 21, 12, 10));
}

} // namespace

QPixmap TfrmController::Picture(int image) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    switch (image) {
    case ControllerNode::kOverlayDisabled:
        DrawDisabledOverlay(p);
        break;
    case ControllerNode::kOverlayFixed:
        DrawFixedOverlay(p);
        break;
    case ControllerNode::kController:
        DrawController(p);
        break;
    case ControllerNode::kPassThroughDisk:
        DrawPassThroughDisk(p);
        break;
    default:
        DrawRaid(p);
        break;
    }
    return pm;
}

QIcon TfrmController::NodeIcon(const ControllerNode& node) {
    QPixmap pm = Picture(node.image);
    QPainter p(&pm);
    if (node.disabled)
        p.drawPixmap(0, 0, Picture(ControllerNode::kOverlayDisabled));
    if (node.notDisableable)
        p.drawPixmap(0, 0, Picture(ControllerNode::kOverlayFixed));
    return QIcon(pm);
}

TfrmController::TfrmController(TClassInfoList* list, TChannelChoice& outcome,
                               std::function<void(const std::string&)> log, QWidget* parent)
    : QDialog(parent), model_(list, outcome, std::move(log)) {
    setWindowTitle("IDE/SATA/RAID controllers list");
    setModal(true);
    resize(442, 262);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    TreeView1 = new QTreeWidget(this);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(35);
    TreeView1->setIconSize(QSize(32, 32));
    TreeView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setAllColumnsShowFocus(true);
    layout->addWidget(TreeView1, 1);

    Panel1 = new QWidget(this);
    auto* row = new QHBoxLayout(Panel1);
    row->setContentsMargins(8, 6, 8, 6);
    lblHint = new QLabel(Panel1);
    btnDetect = new QPushButton("Detect", Panel1);
    btnCancel = new QPushButton("Cancel", Panel1);
    btnDetect->setDefault(true);
    row->addWidget(lblHint, 1);
    row->addWidget(btnDetect);
    row->addWidget(btnCancel);
    layout->addWidget(Panel1);

    connect(btnDetect, &QPushButton::clicked, this, [this] { btnDetectClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    // A double-click opens or closes a controller entry (the view's own behaviour); on any
    // other entry it is Detect. Detect on a controller entry would take the whole function.
    connect(TreeView1, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item && !IsControllerEntry(item))
            btnDetectClick();
    });

    // FormCreate
    if (model_.DetectEnabled()) {
        lblHint->setText(QString::fromStdString(model_.Hint()));
        FillTree();
    } else {
        btnDetect->setEnabled(false);
    }
    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());
}

void TfrmController::FillTree() {
    const TControllerInfo* selected = nullptr;
    if (QTreeWidgetItem* cur = TreeView1->currentItem())
        selected = static_cast<const TControllerInfo*>(cur->data(0, kEntryRole).value<void*>());
    TreeView1->clear();
    std::vector<QTreeWidgetItem*> items;
    for (const ControllerNode& n : model_.Nodes()) {
        QTreeWidgetItem* item = n.parent >= 0
                                    ? new QTreeWidgetItem(items[static_cast<std::size_t>(n.parent)])
                                    : new QTreeWidgetItem(TreeView1);
        item->setText(0, QString::fromStdString(n.text));
        item->setIcon(0, NodeIcon(n));
        item->setData(0, kEntryRole, QVariant::fromValue(static_cast<void*>(n.entry)));
        QStringList tip;
        tip << QString::fromStdString(n.entry->Driver);
        if (n.disabled)
            tip << "disabled";
        if (n.notDisableable)
            tip << "cannot be disabled";
        item->setToolTip(0, tip.join(", "));
        items.push_back(item);
    }
    for (std::size_t i = 0; i < items.size(); ++i)
        if (model_.Nodes()[i].expanded)
            items[i]->setExpanded(true);
    if (selected)
        SelectEntry(selected);
    else if (!items.empty())
        TreeView1->setCurrentItem(items.front());
}

bool TfrmController::IsControllerEntry(const QTreeWidgetItem* item) const {
    const auto* entry =
        static_cast<const TControllerInfo*>(item->data(0, kEntryRole).value<void*>());
    for (const ControllerNode& n : model_.Nodes())
        if (n.entry == entry)
            return n.image == ControllerNode::kController && entry->DriverIndex == 0;
    return false;
}

void TfrmController::SelectEntry(const TControllerInfo* entry) {
    for (QTreeWidgetItemIterator it(TreeView1); *it; ++it)
        if ((*it)->data(0, kEntryRole).value<void*>() == entry) {
            TreeView1->setCurrentItem(*it);
            return;
        }
}

void TfrmController::btnDetectClick() {
    QTreeWidgetItem* item = TreeView1->currentItem();
    auto* entry =
        item ? static_cast<TControllerInfo*>(item->data(0, kEntryRole).value<void*>()) : nullptr;
    const auto after = model_.Detect(entry);
    FillTree();
    if (after == TControllerFormModel::After::Close) {
        closing_ = true;
        accept();
    }
}

void TfrmController::btnCancelClick() {
    model_.Cancel();
    closing_ = true;
    QDialog::reject();
}

void TfrmController::reject() {
    if (!closing_)
        model_.Cancel();
    closing_ = true;
    QDialog::reject();
}

void TfrmController::Choose(TClassInfoList* list, TChannelChoice& outcome,
                            std::function<void(const std::string&)> log, QWidget* parent) {
    TfrmController form(list, outcome, std::move(log), parent);
    form.exec();
}

} // namespace zkv
