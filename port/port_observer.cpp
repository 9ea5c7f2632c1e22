#include "port/port_observer.h"

#include <atomic>

namespace zorbent {
namespace {
std::atomic<PortObserver*> current{nullptr};
}  // namespace

void SetPortObserver(PortObserver* observer) {
  current.store(observer);
}

PortObserver* GetPortObserver() {
  return current.load();
}

}  // namespace zorbent
