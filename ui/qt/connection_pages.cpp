#include "ui/qt/connection_pages.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QLabel>
#include <QScrollBar>
#include <algorithm>

#include "ui/qt/dialog_units.h"

namespace zorbent::ui {
namespace {

constexpr int kPageWidth = 115;
constexpr int kPageHeight = 65;

QLabel* Label(QWidget* parent, const DialogUnits& du, const char* text, int x, int y, int w,
              int h) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setTextFormat(Qt::PlainText);
  // Template widths assume a narrow font; never clip the text itself.
  QRect rect = du.Rect(x, y, w, h);
  rect.setWidth(std::max(rect.width(), label->sizeHint().width()));
  label->setGeometry(rect);
  label->lower();
  return label;
}

// Port descriptions are longer than the closed box: the opened list widens to show each one
// whole, while the box keeps its template size.
class WideListComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  void showPopup() override {
    QAbstractItemView* list = view();
    const QFontMetrics metrics(list->font());
    int widest = 0;
    for (int i = 0; i < count(); ++i)
      widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
    const int margins = 2 * list->frameWidth() + 2 * metrics.averageCharWidth() +
                        list->verticalScrollBar()->sizeHint().width();
    list->setMinimumWidth(std::max(width(), widest + margins));
    QComboBox::showPopup();
  }
};

// A drop-down list shows one line; its template height is that of the opened list.
QComboBox* DropDown(QWidget* parent, const DialogUnits& du, const char* id, int x, int y, int w) {
  auto* combo = new WideListComboBox(parent);
  combo->setObjectName(QString::fromLatin1(id));
  combo->setEditable(false);
  combo->setMaxVisibleItems(8);
  combo->setGeometry(du.X(x), du.Y(y), du.X(w), du.Y(12));
  return combo;
}

QLineEdit* Edit(QWidget* parent, const DialogUnits& du, const char* id, int x, int y, int w,
                int h) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(id));
  edit->setGeometry(du.Rect(x, y, w, h));
  return edit;
}

}  // namespace

SerialPage::SerialPage(QWidget* owner, const QString& templateId) : QWidget(owner) {
  setObjectName(templateId);
  const DialogUnits du(font());
  resize(du.X(kPageWidth), du.Y(kPageHeight));
  Label(this, du, "Name:", 10, 10, 22, 8);
  names_ = DropDown(this, du, "1009", 35, 10, 70);
  Label(this, du, "Baudrate:", 10, 25, 32, 8);
  rates_ = DropDown(this, du, "1011", 45, 25, 60);
  refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
  refresh_->setObjectName(QStringLiteral("1010"));
  refresh_->setAutoDefault(false);
  refresh_->setGeometry(du.Rect(55, 40, 50, 14));
  hide();
}

WifiPage::WifiPage(QWidget* owner) : QWidget(owner) {
  setObjectName(QStringLiteral("131"));
  const DialogUnits du(font());
  resize(du.X(kPageWidth), du.Y(kPageHeight));
  Label(this, du, "IP Address:", 10, 10, 37, 8);
  address_ = Edit(this, du, "1011", 10, 20, 95, 14);
  Label(this, du, "IP Port:", 10, 40, 24, 8);
  port_ = Edit(this, du, "1012", 40, 40, 65, 14);
  hide();
}

}  // namespace zorbent::ui
