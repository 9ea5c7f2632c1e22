#pragma once

// What adapter-sim can serve on: a pseudo-terminal or TCP (posix/transports.cpp), TCP alone
// on Windows (win/transports.cpp).

#include <string>

namespace zorbent::sim {

// The help texts of adapter-sim's --pty and --tcp, and how to power cycle the adapter (and
// name its pseudo-terminal) here.
struct TransportHelp {
  const char* pty;
  const char* tcp;
  const char* powerCycle;
};
TransportHelp TransportOptionHelp();

// Empty when what the command line chose (--pty, --tcp or neither) can be served here;
// otherwise what to use instead.
std::string TransportRefusal(bool pty, bool tcpGiven);

}  // namespace zorbent::sim
