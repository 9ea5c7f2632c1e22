#pragma once

// The driver's own setting for quick delivery of short replies, where the system has one
// (Linux: linux/serial_latency.cpp).

namespace zorbent {

// Asks the serial driver behind the open descriptor fd to hand over received bytes at once
// rather than batching them; false where the driver refuses or has no such setting.
bool SetDriverLowLatency(int fd);

}  // namespace zorbent
