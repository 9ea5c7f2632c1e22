#pragma once

#include <string>
#include <string_view>

namespace zorbent::ui {

// Turns the engine's "\r\n" (and a lone "\r" from an adapter reply) into "\n" for a text
// widget. A "\r" that ends one report may be followed by the "\n" of the next, so it is held
// until the next character shows what it was.
class LineEndFolder {
 public:
  std::string Fold(std::string_view text);
  void Reset() { pendingCr_ = false; }

 private:
  bool pendingCr_ = false;
};

}  // namespace zorbent::ui
