#pragma once

#include <QFont>
#include <QRect>

namespace zorbent::ui {

// Converts dialog-template units to pixels from a font's average character width and height,
// so a template keeps its proportions under any font.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace zorbent::ui
