#pragma once

#include <cstddef>
#include <string_view>

namespace zorbent {

// The lines of a text one at a time, without their ends ("\n" or "\r\n"), numbered from 1 for
// messages that name a line; a last line without an end counts too.
class TextLines {
 public:
  explicit TextLines(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (start_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', start_);
    if (end == std::string_view::npos) end = text_.size();
    line = text_.substr(start_, end - start_);
    start_ = end + 1;
    ++number_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }
  std::size_t Number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t start_ = 0;
  std::size_t number_ = 0;
};

}  // namespace zorbent
