#include "ui/port_advice.h"

namespace zorbent::ui {
namespace {

std::string SerialAdvice(const PortFacts& facts) {
  using P = PortFacts::Problem;
  switch (facts.problem) {
    case P::kNoSuchDevice:
      return "Plug in the adapter (pair a Bluetooth adapter with this computer first), press "
             "Refresh and choose it in the Name list.";
    case P::kBusy:
      return "Close the program holding it, then try again.";
    case P::kNoPermission:
      if (facts.groupMayUse) {
        return "This user may not open it: join group " + facts.group +
               " (it counts from the next login), then try again.";
      }
      return "Only its owner may open it: ask for access to it, or choose another device in the "
             "Name list.";
    case P::kNotSerial:
      return "Choose the adapter's device in the Name list (Refresh lists the devices present).";
    case P::kRateRefused:
      return "Choose another rate than " + std::to_string(facts.rate) +
             " in the Baudrate list, or another device in the Name list.";
    default:
      break;
  }
  return "Check the adapter and its cable, press Refresh and choose it in the Name list.";
}

std::string NetworkAdvice(const PortFacts& facts) {
  using P = PortFacts::Problem;
  switch (facts.problem) {
    case P::kBadAddress:
      return "Give the adapter's address in the IP Address field and its port in the IP Port "
             "field (192.168.0.10 and 35000 for most WiFi adapters).";
    case P::kHostUnknown:
      return "Check the IP Address field: give the adapter's address (192.168.0.10 for most "
             "WiFi adapters).";
    case P::kRefused:
      return "Nothing listens on that port there: check the IP Address and IP Port fields "
             "(port 35000 for most WiFi adapters).";
    case P::kTimedOut:
      return "Join the adapter's WiFi network first, then check the IP Address field "
             "(192.168.0.10 for most WiFi adapters).";
    case P::kUnreachable:
      return "Join the adapter's WiFi network first.";
    default:
      break;
  }
  return "Join the adapter's WiFi network first, then check the IP Address and IP Port fields.";
}

}  // namespace

std::string PortAdvice(const PortFacts& facts) {
  if (facts.problem == PortFacts::Problem::kNone) return {};
  return facts.tcp ? NetworkAdvice(facts) : SerialAdvice(facts);
}

}  // namespace zorbent::ui
