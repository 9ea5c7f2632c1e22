#include "engine/block_flow.h"

namespace zorbent {

std::int32_t BlockModeUpdate(UpdateEngine& engine, Port&) {
  engine.ReportText("**Failed** Block-mode update is not available in this build!\r\n");
  return -1;
}

}  // namespace zorbent
