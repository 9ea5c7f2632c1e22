#pragma once

#include <cstdint>
#include <string>

namespace zorbent {

// What a port said when it could not be opened or went away: facts only, for a front end to
// word in its own terms.
struct PortFacts {
  enum class Problem : std::uint8_t {
    kNone,
    kNoSuchDevice,  // nothing at that path or name
    kBusy,          // in use by another program (holder named when known)
    kNoPermission,  // not allowed to open it
    kNotSerial,     // exists but is not a serial device
    kRateRefused,   // the device would not take the rate
    kBadAddress,    // not an address and port at all
    kHostUnknown,   // the address did not resolve
    kRefused,       // the host refused the connection
    kTimedOut,      // no connection within the time-out
    kUnreachable,   // no route to the host
    kListenFailed,  // could not listen on the local port
    kNoClient,      // listening, but no adapter connected
    kOther,
  };
  Problem problem = Problem::kNone;
  bool tcp = false;
  std::string device;     // "/dev/ttyUSB0", "COM5", "192.168.0.10:35000"
  std::int32_t rate = 0;  // the rate asked for (serial)
  std::int32_t attempts = 0;
  std::int32_t attemptLimitMs = 0;  // how long one attempt may wait (a TCP connect)
  std::int32_t waitedMs = 0;        // the time all attempts took at most
  std::int32_t systemCode = 0;
  std::string systemText;          // the system's own words for systemCode
  std::string holder;              // the program holding a busy device, when known
  std::string group;               // the group owning a device this user may not open, when known
  bool groupMayUse = false;        // ... and whether its members may open it (joining helps)
  bool nameServiceSilent = false;  // the host name got no answer from the name service
};

}  // namespace zorbent
