#include "ui/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace zorbent::ui {
namespace {
int Scale(int units, int base, int divisor) {
  return (units * base + divisor / 2) / divisor;
}
}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  static const QString kAlphabet =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  baseX_ = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
  if (baseX_ < 1) baseX_ = 1;
  baseY_ = metrics.height();
  if (baseY_ < 1) baseY_ = 1;
}

int DialogUnits::X(int units) const {
  return Scale(units, baseX_, 4);
}
int DialogUnits::Y(int units) const {
  return Scale(units, baseY_, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return {X(x), Y(y), X(width), Y(height)};
}

}  // namespace zorbent::ui
