#include "ui/qt/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace zorbent::ui {
namespace {

// A blue tile with an adapter plug and a download arrow, on a 64-unit grid.
QPixmap Draw(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x5f, 0xa8));
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);
  // Plug body with its pins.
  p.setBrush(QColor(0xf2, 0xf2, 0xf2));
  p.drawRoundedRect(QRectF(14, 34, 36, 20), 4, 4);
  p.setBrush(QColor(0x1f, 0x5f, 0xa8));
  for (int i = 0; i < 4; ++i) p.drawRect(QRectF(19 + i * 7.5, 40, 4, 8));
  // Arrow into the plug.
  QPainterPath arrow;
  arrow.moveTo(27, 8);
  arrow.lineTo(37, 8);
  arrow.lineTo(37, 20);
  arrow.lineTo(45, 20);
  arrow.lineTo(32, 31);
  arrow.lineTo(19, 20);
  arrow.lineTo(27, 20);
  arrow.closeSubpath();
  p.setBrush(QColor(0xff, 0xc1, 0x07));
  p.drawPath(arrow);
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(Draw(size));
  return icon;
}

}  // namespace zorbent::ui
