#pragma once
// A TCP socket listening on 127.0.0.1 at a port the system chose, for the test servers and
// relays that stand in for a directory across a network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The listening socket, its port in `port`; -1 when none could be had.
[[nodiscard]] inline int ListenOnLoopback(int backlog, int& port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener >= 0)
      close(listener);
    return -1;
  }
  port = ntohs(address.sin_port);
  return listener;
}
