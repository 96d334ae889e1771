// The work form's small pictures, drawn in code: register lamps, status balls, the button
// glyphs and the activity animation.
#pragma once

#include "app/model/LampModel.h"

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QWidget>

namespace zkv {

// A round lamp, dark or lit green or red, with a glass highlight.
QPixmap LampPixmap(LampColour colour, int size);
// A status ball (green: connected, red: not connected).
QPixmap BallPixmap(const QColor& colour, int size);
// The two glyphs of the Connect/Disconnect button.
QIcon ConnectGlyph();
QIcon DisconnectGlyph();

// One register lamp with its caption underneath.
class TLampWidget : public QWidget {
    Q_OBJECT
public:
    TLampWidget(const QString& name, const QString& caption, QWidget* parent = nullptr);
    void SetColour(LampColour c);
    LampColour Colour() const { return colour_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString caption_;
    LampColour colour_ = LampColour::Dark;
};

// The picture in the activity panel: a spinning disk platter with its head, animated while
// the panel is shown.
class TActivityImage : public QWidget {
    Q_OBJECT
public:
    explicit TActivityImage(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {72, 72}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;
    void timerEvent(QTimerEvent*) override;

private:
    int timer_ = 0;
    int angle_ = 0;
};

} // namespace zkv
