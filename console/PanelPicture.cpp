#include "PanelPicture.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <array>

namespace {

void DrawCabinet(QPainter& p, const QRectF& r) {
    QLinearGradient body(r.topLeft(), r.topRight());
    body.setColorAt(0, QColor(0x2b, 0x34, 0x45));
    body.setColorAt(1, QColor(0x45, 0x52, 0x6b));
    p.setPen(QPen(QColor(0x16, 0x1c, 0x26), 2));
    p.setBrush(body);
    p.drawRoundedRect(r, 6, 6);
    const qreal slot = (r.height() - 24) / 5;
    for (int i = 0; i < 5; ++i) {
        QRectF unit(r.left() + 10, r.top() + 12 + i * slot, r.width() - 20, slot - 8);
        p.setPen(QPen(QColor(0x10, 0x14, 0x1c), 1));
        p.setBrush(QColor(0x1d, 0x24, 0x31));
        p.drawRoundedRect(unit, 3, 3);
        p.setPen(Qt::NoPen);
        p.setBrush(i % 2 == 0 ? QColor(0x5c, 0xe0, 0x8a) : QColor(0xf2, 0xb1, 0x3c));
        p.drawEllipse(QPointF(unit.left() + 10, unit.center().y()), 3.5, 3.5);
        p.setBrush(QColor(0x7d, 0x8c, 0xa8));
        for (int k = 0; k < 6; ++k)
            p.drawRect(QRectF(unit.left() + 24 + k * 9, unit.center().y() - 5, 5, 10));
    }
}

void DrawDesk(QPainter& p, const QPointF& c) {
    p.setPen(QPen(QColor(0x1b, 0x3a, 0x5c), 2));
    p.setBrush(QColor(0xe8, 0xf1, 0xfb));
    p.drawRoundedRect(QRectF(c.x() - 22, c.y() - 17, 44, 30), 3, 3);
    p.setBrush(QColor(0x3d, 0x7e, 0xc4));
    p.drawRect(QRectF(c.x() - 17, c.y() - 12, 34, 20));
    p.setBrush(QColor(0x1b, 0x3a, 0x5c));
    p.drawRect(QRectF(c.x() - 4, c.y() + 13, 8, 6));
    p.drawRoundedRect(QRectF(c.x() - 14, c.y() + 19, 28, 4), 2, 2);
}

} // namespace

QPixmap MakePanelPicture() {
    QPixmap picture(500, 300);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, 300);
    sky.setColorAt(0, QColor(0x0d, 0x2a, 0x4a));
    sky.setColorAt(1, QColor(0x2f, 0x6d, 0xa8));
    p.fillRect(picture.rect(), sky);

    QRadialGradient glow(QPointF(250, 150), 220);
    glow.setColorAt(0, QColor(255, 255, 255, 60));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(picture.rect(), glow);

    // The desks of the network around the server, each on its own line.
    const QPointF hub(250, 150);
    const std::array<QPointF, 6> desks{QPointF(70, 70),   QPointF(70, 230),  QPointF(430, 70),
                                       QPointF(430, 230), QPointF(140, 270), QPointF(360, 270)};
    for (const QPointF& d : desks) {
        QPainterPath line(hub);
        line.cubicTo(QPointF((hub.x() + d.x()) / 2, hub.y()), QPointF((hub.x() + d.x()) / 2, d.y()),
                     d);
        p.setPen(QPen(QColor(0xa8, 0xd4, 0xff, 170), 2, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawPath(line);
    }
    for (const QPointF& d : desks)
        DrawDesk(p, d);

    DrawCabinet(p, QRectF(205, 60, 90, 170));

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(30);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0xf4, 0xf8, 0xff));
    p.drawText(QRectF(0, 8, 500, 40), Qt::AlignCenter, QStringLiteral("Zephran"));
    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(13);
    p.setFont(sub);
    p.setPen(QColor(0xcf, 0xe3, 0xf8));
    p.drawText(QRectF(0, 238, 500, 20), Qt::AlignCenter, QStringLiteral("Servers Remote Console"));
    p.end();
    return picture;
}
