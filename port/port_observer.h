#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zorbent {

// Sees every port's conversation: opens, closes and the bytes of each successful read and
// write. A front end switches one on for the whole process (a readable transcript); the
// engine never knows. Called on the thread doing the port operation, so it must lock itself.
class PortObserver {
 public:
  enum class Direction { kIn, kOut };
  virtual ~PortObserver() = default;
  // connection: "com|NAME:BAUD" or "tcp|HOST:PORT".
  virtual void OnOpen(std::string_view connection) = 0;
  virtual void OnClose(std::string_view connection) = 0;
  virtual void OnData(std::string_view connection, Direction direction,
                      std::span<const std::uint8_t> bytes) = 0;
};

// The process-wide observer, or null (the default). Set it before ports are built; it must
// outlive every port built while it is set.
void SetPortObserver(PortObserver* observer);
PortObserver* GetPortObserver();

}  // namespace zorbent
