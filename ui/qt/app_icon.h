#pragma once

#include <QIcon>

namespace zorbent::ui {

// The program icon, drawn at the usual sizes (the same picture as app/zorbent-fwupdater.svg).
QIcon AppIcon();

}  // namespace zorbent::ui
