// A connection by host name as the first thing the process does with sockets: the name is
// looked up before any socket exists, as when zorbent-fw starts with --wifi NAME:PORT. A
// binary of its own, so no earlier case has started Windows Sockets already.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <string>

#include "platform/socket.h"
#include "port/port_config.h"
#include "port/port_factory.h"

namespace zorbent {
namespace {

TEST(WinHostName, FirstConnectionOfTheProcessByNameConnects) {
  PortConfig config;
  config.Set("mode", "client");
  config.Set("remote_ip", "localhost");
  PortFacts facts;
  ASSERT_TRUE(ResolvePortAddress(PortKind::kTcp, config, facts));
  EXPECT_EQ(config.Get("remote_ip"), "127.0.0.1");
  EXPECT_EQ(config.Get("remote_name"), "localhost");
  // Windows Sockets must still be started after the lookup, for its getnameinfo and for every
  // socket after it (wine's getnameinfo works without, Windows' does not): a cleanup finds
  // it started, and the start it undid is made again.
  EXPECT_EQ(::WSACleanup(), 0) << ::WSAGetLastError();
  WSADATA data{};
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  const Socket listener = Socket::Listen("127.0.0.1", 0, 1);
  ASSERT_TRUE(listener.IsValid());
  config.Set("remote_port", std::to_string(listener.LocalPort()));
  bool opened = false;
  const auto port = CreatePort(PortKind::kTcp, config, opened);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(opened) << static_cast<int>(port->OpenFacts().problem);
}

}  // namespace
}  // namespace zorbent
