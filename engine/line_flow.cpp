#include "engine/line_flow.h"

namespace zorbent {

std::int32_t LineModeUpdate(UpdateEngine& engine, Port&) {
  engine.ReportText("**Failed** Line-mode update is not available in this build!\r\n");
  return -1;
}

}  // namespace zorbent
