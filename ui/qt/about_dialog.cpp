#include "ui/qt/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/qt/app_icon.h"
#include "ui/qt/dialog_units.h"
#include "zorbent_version.h"

namespace zorbent::ui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("100"));
  setWindowTitle(QStringLiteral("About zOrbentFwUpdater"));
  setModal(true);
  const DialogUnits du(font());
  setFixedSize(du.X(235), du.Y(55));

  auto* icon = new QLabel(this);
  const QRect iconRect = du.Rect(11, 17, 20, 20);
  const int side = std::min(iconRect.width(), iconRect.height());
  icon->setPixmap(AppIcon().pixmap(side, side));
  icon->setGeometry(iconRect);
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  auto* name = new QLabel(QStringLiteral("zOrbentFwUpdater v3.5"), this);
  name->setTextFormat(Qt::PlainText);
  name->setGeometry(du.Rect(40, 10, 119, 8));
  auto* line = new QLabel(QStringLiteral(ZORBENT_VERSION_LINE), this);
  line->setTextFormat(Qt::PlainText);
  line->setGeometry(du.Rect(40, 25, 119, 8));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  ok->setGeometry(du.Rect(178, 7, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
}

}  // namespace zorbent::ui
