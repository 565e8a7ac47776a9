#include "ui/qt/artwork.h"

#include <QConicalGradient>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <algorithm>

namespace qx::qt {

void PaintDrivePicture(QPainter& p, const QRectF& area) {
  const qreal s = std::min(area.width(), area.height());
  const QPointF o(area.center().x() - s / 2, area.center().y() - s / 2);
  // All coordinates below are on a 100 x 100 grid.
  auto pt = [&](qreal x, qreal y) { return QPointF(o.x() + x * s / 100, o.y() + y * s / 100); };
  auto len = [&](qreal v) { return v * s / 100; };
  auto rect = [&](qreal x, qreal y, qreal w, qreal h) {
    return QRectF(pt(x, y), QSizeF(len(w), len(h)));
  };

  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);

  // Disc, half out of the drive.
  const QPointF disc = pt(42, 40);
  const qreal r = len(30);
  QConicalGradient sheen(disc, 30);
  sheen.setColorAt(0.00, QColor(0xd9, 0xde, 0xe6));
  sheen.setColorAt(0.15, QColor(0xb8, 0xd8, 0xf0));
  sheen.setColorAt(0.30, QColor(0xf0, 0xd8, 0xf2));
  sheen.setColorAt(0.45, QColor(0xcf, 0xd4, 0xdc));
  sheen.setColorAt(0.65, QColor(0xf5, 0xef, 0xc8));
  sheen.setColorAt(0.80, QColor(0xc4, 0xe8, 0xd6));
  sheen.setColorAt(1.00, QColor(0xd9, 0xde, 0xe6));
  p.setPen(QPen(QColor(0x7a, 0x84, 0x90), len(1.2)));
  p.setBrush(sheen);
  p.drawEllipse(disc, r, r);
  p.setBrush(QColor(0xee, 0xf1, 0xf5));
  p.drawEllipse(disc, len(9), len(9));
  p.setBrush(QColor(0x5c, 0x66, 0x72));
  p.setPen(Qt::NoPen);
  p.drawEllipse(disc, len(3.5), len(3.5));

  // Drive body in front of the lower half of the disc.
  QLinearGradient body(pt(0, 52), pt(0, 92));
  body.setColorAt(0, QColor(0x4a, 0x55, 0x62));
  body.setColorAt(1, QColor(0x1f, 0x26, 0x2e));
  p.setBrush(body);
  p.setPen(QPen(QColor(0x14, 0x19, 0x1f), len(1.2)));
  p.drawRoundedRect(rect(6, 54, 88, 36), len(5), len(5));
  // Tray slot, LED and eject button.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x0d, 0x10, 0x14));
  p.drawRoundedRect(rect(13, 63, 62, 5), len(2), len(2));
  p.setBrush(QColor(0x4c, 0xe0, 0x6a));
  p.drawEllipse(pt(83, 65.5), len(3), len(3));
  p.setBrush(QColor(0x8d, 0x97, 0xa3));
  p.drawRoundedRect(rect(62, 77, 20, 6), len(1.5), len(1.5));
  p.setBrush(QColor(0x6b, 0x76, 0x83));
  p.drawRoundedRect(rect(13, 78, 30, 3), len(1), len(1));

  // Download badge: a white arrow into the drive on an orange disc.
  const QPointF badge = pt(78, 24);
  p.setPen(QPen(QColor(0xff, 0xff, 0xff), len(2)));
  QRadialGradient orange(badge, len(18), pt(73, 18));
  orange.setColorAt(0, QColor(0xff, 0xb3, 0x47));
  orange.setColorAt(1, QColor(0xe0, 0x6a, 0x00));
  p.setBrush(orange);
  p.drawEllipse(badge, len(17), len(17));
  QPolygonF arrow;
  arrow << pt(74, 12) << pt(82, 12) << pt(82, 24) << pt(89, 24) << pt(78, 36) << pt(67, 24)
        << pt(74, 24);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawPolygon(arrow);

  p.restore();
}

QImage DrivePicture(int width, int height) {
  QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  PaintDrivePicture(painter, QRectF(0, 0, image.width(), image.height()));
  painter.end();
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addPixmap(QPixmap::fromImage(DrivePicture(size, size)));
  }
  return icon;
}

}  // namespace qx::qt
