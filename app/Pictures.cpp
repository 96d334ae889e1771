#include "app/Pictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTimerEvent>

namespace zkv {

namespace {

void DrawGlassBall(QPainter& p, const QRectF& r, const QColor& base) {
    p.setRenderHint(QPainter::Antialiasing);
    // Rim.
    p.setPen(QPen(base.darker(250), std::max(1.0, r.width() / 14)));
    QRadialGradient body(r.center() + QPointF(-r.width() * 0.15, -r.height() * 0.15),
                         r.width() * 0.6);
    body.setColorAt(0.0, base.lighter(170));
    body.setColorAt(0.55, base);
    body.setColorAt(1.0, base.darker(220));
    p.setBrush(body);
    p.drawEllipse(r);
    // Highlight.
    QRectF hl(r.left() + r.width() * 0.22, r.top() + r.height() * 0.12, r.width() * 0.38,
              r.height() * 0.26);
    QLinearGradient g(hl.topLeft(), hl.bottomLeft());
    g.setColorAt(0, QColor(255, 255, 255, 210));
    g.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(hl);
}

QColor LampBase(LampColour c) {
    switch (c) {
    case LampColour::Green:
        return QColor(40, 220, 60);
    case LampColour::Red:
        return QColor(235, 35, 30);
    case LampColour::Dark:
        break;
    }
    return QColor(70, 78, 72);
}

} // namespace

QPixmap LampPixmap(LampColour colour, int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor base = LampBase(colour);
    if (colour != LampColour::Dark) {
        // A glow around a lit lamp.
        QRadialGradient glow(QPointF(size / 2.0, size / 2.0), size / 2.0);
        QColor c = base;
        c.setAlpha(120);
        glow.setColorAt(0.6, c);
        glow.setColorAt(1.0, QColor(0, 0, 0, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(QRectF(0, 0, size, size));
    }
    const double m = size * 0.14;
    DrawGlassBall(p, QRectF(m, m, size - 2 * m, size - 2 * m), base);
    return pm;
}

QPixmap BallPixmap(const QColor& colour, int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    DrawGlassBall(p, QRectF(1, 1, size - 2, size - 2), colour);
    return pm;
}

QIcon ConnectGlyph() {
    QPixmap pm(20, 20);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Two plug halves meeting.
    p.setPen(QPen(QColor(20, 110, 30), 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(1, 10), QPointF(6, 10));
    p.drawLine(QPointF(14, 10), QPointF(19, 10));
    p.setBrush(QColor(50, 180, 60));
    p.setPen(QPen(QColor(20, 90, 25), 1));
    p.drawRoundedRect(QRectF(5, 5, 5, 10), 1.5, 1.5);
    p.drawRoundedRect(QRectF(11, 5, 4, 10), 1.5, 1.5);
    p.setPen(QPen(QColor(20, 90, 25), 1.6));
    p.drawLine(QPointF(10, 7.5), QPointF(12, 7.5));
    p.drawLine(QPointF(10, 12.5), QPointF(12, 12.5));
    return QIcon(pm);
}

QIcon DisconnectGlyph() {
    QPixmap pm(20, 20);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // The plug halves apart, with a red cross between them.
    p.setBrush(QColor(150, 150, 150));
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.drawRoundedRect(QRectF(1, 6, 4, 8), 1.5, 1.5);
    p.drawRoundedRect(QRectF(15, 6, 4, 8), 1.5, 1.5);
    p.setPen(QPen(QColor(210, 30, 30), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7, 5), QPointF(13, 15));
    p.drawLine(QPointF(13, 5), QPointF(7, 15));
    return QIcon(pm);
}

TLampWidget::TLampWidget(const QString& name, const QString& caption, QWidget* parent)
    : QWidget(parent), caption_(caption) {
    setObjectName(name);
    setToolTip(caption);
}

void TLampWidget::SetColour(LampColour c) {
    if (c == colour_)
        return;
    colour_ = c;
    update();
}

QSize TLampWidget::sizeHint() const {
    const QFontMetrics fm(font());
    return {std::max(26, fm.horizontalAdvance(caption_) + 6), 22 + fm.height()};
}

void TLampWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int lamp = 20;
    p.drawPixmap((width() - lamp) / 2, 1, LampPixmap(colour_, lamp));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(0, lamp + 2, width(), height() - lamp - 2), Qt::AlignHCenter | Qt::AlignTop,
               caption_);
}

TActivityImage::TActivityImage(QWidget* parent) : QWidget(parent) {
    setMinimumSize(72, 72);
}

void TActivityImage::showEvent(QShowEvent*) {
    if (!timer_)
        timer_ = startTimer(80);
}

void TActivityImage::hideEvent(QHideEvent*) {
    if (timer_)
        killTimer(timer_);
    timer_ = 0;
}

void TActivityImage::timerEvent(QTimerEvent* e) {
    if (e->timerId() == timer_) {
        angle_ = (angle_ + 15) % 360;
        update();
    }
}

void TActivityImage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = std::min(width(), height()) - 4;
    const QRectF disk((width() - s) / 2, (height() - s) / 2, s, s);
    QRadialGradient g(disk.center(), s / 2);
    g.setColorAt(0, QColor(235, 235, 240));
    g.setColorAt(0.25, QColor(150, 155, 165));
    g.setColorAt(1, QColor(205, 210, 220));
    p.setPen(QPen(QColor(90, 90, 100), 1));
    p.setBrush(g);
    p.drawEllipse(disk);
    // A bright sector turning with the platter.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 120));
    p.drawPie(disk.adjusted(2, 2, -2, -2), -angle_ * 16, 40 * 16);
    p.setBrush(QColor(60, 60, 70));
    p.drawEllipse(disk.center(), s * 0.08, s * 0.08);
    // The head arm.
    p.setPen(QPen(QColor(60, 60, 70), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(disk.right() - 2, disk.bottom() - 2),
               disk.center() + QPointF(s * 0.18, s * 0.05));
}

} // namespace zkv
