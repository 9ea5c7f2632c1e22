#include "ui/line_ends.h"

namespace zorbent::ui {

std::string LineEndFolder::Fold(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (const char c : text) {
    if (c == '\r') {
      if (pendingCr_) out += '\n';
      pendingCr_ = true;
      continue;
    }
    if (pendingCr_ && c != '\n') out += '\n';
    pendingCr_ = false;
    out += c;
  }
  return out;
}

}  // namespace zorbent::ui
