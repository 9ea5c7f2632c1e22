#include "ui/serial_ports.h"

#include "platform/serial_ports.h"

namespace zorbent::ui {

std::vector<PortChoice> ListPortChoices() {
  std::vector<PortChoice> choices;
  for (const SerialPortInfo& port : ListSerialPortInfo(true))
    if (!port.console) choices.push_back({port.name, DescribePort(port)});  // never an adapter
  return choices;
}

std::vector<PortChoice> PlainChoices(const std::vector<std::string>& names) {
  std::vector<PortChoice> choices;
  choices.reserve(names.size());
  for (const std::string& name : names) choices.push_back({name, name});
  return choices;
}

int RefreshSelection(int notedIndex, int newCount) {
  if (newCount <= 0) return -1;
  if (notedIndex >= 0 && notedIndex < newCount) return notedIndex;
  return 0;
}

}  // namespace zorbent::ui
