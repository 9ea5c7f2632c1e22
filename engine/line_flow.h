#pragma once

#include <cstdint>

#include "engine/link.h"
#include "engine/update_engine.h"

namespace zorbent {

// Transfers a line-mode image: 0 or more when sent and closed, negative (reported) otherwise.
std::int32_t LineModeUpdate(UpdateEngine& engine, Link& link);

}  // namespace zorbent
