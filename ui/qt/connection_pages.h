#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

namespace zorbent::ui {

// Port name list (1009), link rate list (1011) and "Refresh" (1010); object name is the
// template number ("129" for BT, "130" for USB).
class SerialPage : public QWidget {
 public:
  SerialPage(QWidget* owner, const QString& templateId);
  QComboBox* names() const { return names_; }
  QComboBox* rates() const { return rates_; }
  QPushButton* refresh() const { return refresh_; }

 private:
  QComboBox* names_;
  QComboBox* rates_;
  QPushButton* refresh_;
};

// Adapter address (1011) and TCP port (1012); object name "131".
class WifiPage : public QWidget {
 public:
  explicit WifiPage(QWidget* owner);
  QLineEdit* address() const { return address_; }
  QLineEdit* port() const { return port_; }

 private:
  QLineEdit* address_;
  QLineEdit* port_;
};

}  // namespace zorbent::ui
