#pragma once

namespace zorbent::cli {

// Updates simulated adapters of both families exactly as a real update runs (over a
// pseudo-terminal and, where the build has it, TCP), then reads their new versions.
// 0 when every job succeeded.
int RunDemo(bool quiet);

}  // namespace zorbent::cli
