#pragma once

#include <cstdint>

#include "engine/link.h"
#include "engine/update_engine.h"

namespace zorbent {

// Transfers a block-mode image: 1 when sent and the download ended, -1 (reported) otherwise.
std::int32_t BlockModeUpdate(UpdateEngine& engine, Link& link);

}  // namespace zorbent
