#pragma once

#include <QDialog>

namespace zorbent::ui {

inline constexpr const char* kAboutMenuText = "&About zOrbentFwUpdater...";

// The About box: icon, name and version, and "OK". Escape and the close box act as "OK".
class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace zorbent::ui
