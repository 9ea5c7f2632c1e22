#include "sim/adapter/transports.h"

namespace zorbent::sim {

TransportHelp TransportOptionHelp() {
  return {"serve on a pseudo-terminal (default)", "serve on 127.0.0.1:PORT (0 picks a free port)",
          "Power cycle: kill -USR1 PID turns the adapter off and on on the same pseudo-terminal "
          "or TCP port (a TCP host is dropped): back at 115200 baud, echo as at power-on, in "
          "download mode if a download had begun and not completed, else running its firmware. "
          "One line on stderr says so.\n"
          "--link PATH gives the pseudo-terminal a name that stays the same between runs: give "
          "it to zorbent-fw --port PATH, or to zorbent-fw --add-port PATH so that detect and "
          "--port auto consider it.\n"};
}

std::string TransportRefusal(bool, bool) {
  return {};
}

}  // namespace zorbent::sim
