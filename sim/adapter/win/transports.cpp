#include "sim/adapter/transports.h"

namespace zorbent::sim {

// No pseudo-terminals here: TCP is the default and --pty is refused after parsing.
TransportHelp TransportOptionHelp() {
  return {"pseudo-terminal (not available on Windows)",
          "serve on 127.0.0.1:PORT (0 picks a free port; default)",
          "Power cycle: Windows has no SIGUSR1. Stop adapter-sim (Ctrl-C) and start it again "
          "with the same --tcp PORT, adding --download-mode if a download had begun and not "
          "completed.\n"};
}

std::string TransportRefusal(bool pty, bool tcpGiven) {
  if (pty || !tcpGiven) return "--pty is not available on Windows: use --tcp PORT";
  return {};
}

}  // namespace zorbent::sim
