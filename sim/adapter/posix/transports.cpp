#include "sim/adapter/transports.h"

namespace zorbent::sim {

TransportHelp TransportOptionHelp() {
  return {"serve on a pseudo-terminal (default)", "serve on 127.0.0.1:PORT (0 picks a free port)"};
}

std::string TransportRefusal(bool, bool) {
  return {};
}

}  // namespace zorbent::sim
