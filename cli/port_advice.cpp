#include "cli/port_advice.h"

namespace zorbent::cli {
namespace {

constexpr const char* kPortsHint = "`zorbent-fw ports` lists the serial devices";
constexpr const char* kUsualAddress = "192.168.0.10";
constexpr const char* kUsualPort = "35000";

std::string SerialAdvice(const PortFacts& facts, const std::vector<SerialPortInfo>& present) {
  using P = PortFacts::Problem;
  switch (facts.problem) {
    case P::kNoSuchDevice: {
      if (facts.device.empty()) {
        return std::string("Name the adapter's device with --port (") + kPortsHint + ").";
      }
      std::string text;
      // A Bluetooth link's device exists only once it is bound to the adapter's address.
      if (const auto at = facts.device.rfind("rfcomm"); at != std::string::npos) {
        std::string number = facts.device.substr(at + 6);
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
          number = "0";
        text = "A Bluetooth adapter must be paired and bound first: `sudo rfcomm bind " + number +
               " ADDRESS` makes /dev/rfcomm" + number + ". ";
      }
      if (present.empty()) {
        if (!text.empty()) return text.substr(0, text.size() - 1);
        return "No serial device is present: plug in the adapter (a Bluetooth adapter must be "
               "paired and bound first, e.g. `sudo rfcomm bind 0 ADDRESS`).";
      }
      std::string names;
      for (const SerialPortInfo& port : present) names += (names.empty() ? "" : ", ") + port.name;
      return text + "Serial devices here: " + names + " (" + kPortsHint + ").";
    }
    case P::kBusy:
      return "Close the program holding it, then try again.";
    case P::kNoPermission:
      if (facts.groupMayUse) {
        return "Join group " + facts.group + ": `sudo usermod -aG " + facts.group +
               " $USER`, then log out and in again so the new group counts.";
      }
      return std::string(
                 "Ask for access to it (a udev rule giving it to group dialout) or use another "
                 "device (") +
             kPortsHint + ").";
    case P::kNotSerial:
      return std::string("Name the adapter's device instead (") + kPortsHint + ").";
    case P::kRateRefused:
      return "Try another rate than " + std::to_string(facts.rate) +
             " baud (--baud, or the rate in --connect), or another device (" + kPortsHint + ").";
    default:
      break;
  }
  return std::string("Check the adapter and its cable (") + kPortsHint + ").";
}

std::string NetworkAdvice(const PortFacts& facts) {
  using P = PortFacts::Problem;
  const auto colon = facts.device.rfind(':');
  const std::string port =
      colon == std::string::npos ? std::string(kUsualPort) : facts.device.substr(colon + 1);
  switch (facts.problem) {
    case P::kBadAddress:
      return std::string("Give the adapter's address and port, e.g. --wifi ") + kUsualAddress +
             ":" + kUsualPort + ".";
    case P::kHostUnknown:
      return std::string("Check the name, or give the adapter's address (") + kUsualAddress +
             " for most WiFi adapters).";
    case P::kRefused:
      return "Nothing listens on port " + port + " there: check the address and port (" +
             kUsualPort + " for most WiFi adapters).";
    case P::kTimedOut:
      return std::string("Join the adapter's WiFi network first, then check the address (") +
             kUsualAddress + " for most WiFi adapters).";
    case P::kUnreachable:
      return "Join the adapter's WiFi network first.";
    case P::kListenFailed:
      return "Another program may be listening there: choose another local port.";
    case P::kNoClient:
      return "Check that the adapter is on and connects to this computer.";
    default:
      break;
  }
  return std::string("Join the adapter's WiFi network first, then check the address and port (") +
         kUsualAddress + " and " + kUsualPort + " for most WiFi adapters).";
}

}  // namespace

std::string PortAdvice(const PortFacts& facts, const std::vector<SerialPortInfo>& present) {
  if (facts.problem == PortFacts::Problem::kNone) return {};
  return facts.tcp ? NetworkAdvice(facts) : SerialAdvice(facts, present);
}

std::string PortAdvice(const PortFacts& facts) {
  std::vector<SerialPortInfo> present;
  if (!facts.tcp && facts.problem == PortFacts::Problem::kNoSuchDevice) {
    present = ListSerialPortInfo(false);
    if (present.empty()) present = ListSerialPortInfo(true);  // on-board ones beat none
  }
  return PortAdvice(facts, present);
}

}  // namespace zorbent::cli
