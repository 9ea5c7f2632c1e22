#include "engine/port_line.h"

namespace zorbent {

std::string SecondsText(std::int32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  const std::int32_t tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

std::string PortFactsLine(const PortFacts& facts) {
  using P = PortFacts::Problem;
  const std::string who = facts.device.empty() ? std::string("the port") : facts.device;
  switch (facts.problem) {
    case P::kNoSuchDevice:
      return facts.device.empty() ? std::string("No serial device was named.")
                                  : who + ": no such device.";
    case P::kBusy:
      return who + ": in use by another program" +
             (facts.holder.empty() ? std::string() : " (" + facts.holder + ")") + ".";
    case P::kNoPermission:
      if (facts.group.empty()) return who + ": permission denied.";
      return who + ": permission denied; " +
             (facts.groupMayUse ? "members of group " + facts.group + " may open it."
                                : std::string("only its owner may open it."));
    case P::kNotSerial:
      return who + ": not a serial device.";
    case P::kRateRefused:
      return who + ": did not take the line settings at " + std::to_string(facts.rate) + " baud.";
    case P::kBadAddress:
      return who + ": not an address and port.";
    case P::kHostUnknown:
      return who + ": host not found" +
             (facts.nameServiceSilent
                  ? " (no answer from the name service within " + SecondsText(facts.waitedMs) + ")"
                  : std::string()) +
             ".";
    case P::kRefused:
      return who + ": connection refused.";
    case P::kTimedOut: {
      // Said as it was: each attempt waited its time-out in silence.
      std::string line = who + ": no answer";
      if (facts.attemptLimitMs > 0) line += " within " + SecondsText(facts.attemptLimitMs);
      if (facts.attempts > 1) {
        line += " (" + std::to_string(facts.attempts) + " attempts, " +
                SecondsText(facts.waitedMs) + " in all)";
      }
      return line + ".";
    }
    case P::kUnreachable:
      return who + ": network unreachable.";
    case P::kListenFailed:
      return who + ": could not listen there.";
    case P::kNoClient:
      return who + ": no adapter connected.";
    case P::kNone:
    case P::kOther:
      break;
  }
  if (facts.device.empty()) return "The port could not be opened.";
  if (!facts.systemText.empty()) return who + ": " + facts.systemText + ".";
  return who + (facts.tcp ? ": the connection failed." : ": could not be opened.");
}

}  // namespace zorbent
