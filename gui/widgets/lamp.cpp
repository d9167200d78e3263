#include "widgets/lamp.h"

#include <QPainter>

Lamp::Lamp(QWidget *parent) : QWidget(parent) {}

void Lamp::setColor(QColor c)
{
    if (c == fill)
        return;
    fill = c;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(64, 64, 64), 1.0));
    p.setBrush(fill);
    // Half a pixel in so the 1 px outline lands on whole pixels and is not cut.
    const qreal d = qMin(width(), height()) - 1.0;
    p.drawEllipse(QRectF(0.5, 0.5, d, d));
}
