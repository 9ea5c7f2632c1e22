#include "engine/image_format.h"

#include "engine/update_engine.h"

namespace zorbent {

std::int32_t UpdateEngine::CheckImageFormat() {
  ReportText("**Failed** update file format error!\r\n");
  image.clear();
  ReportProgress(2);
  return -1;
}

}  // namespace zorbent
