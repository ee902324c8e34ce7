#include "tests/support/delay_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    ASSERT_GT(n, 0);
    sent += static_cast<size_t>(n);
  }
}

// Up to `size` bytes, fewer when the peer closes first.
std::string Receive(int fd, size_t size) {
  std::string bytes;
  char chunk[65536];
  while (bytes.size() < size) {
    const ssize_t n = read(fd, chunk, std::min(sizeof chunk, size - bytes.size()));
    if (n <= 0)
      break;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

std::string RoundTrip(int fd, const std::string& request) {
  SendAll(fd, request);
  return Receive(fd, request.size());
}

// Sends back whatever each connection sends, and closes it when the client does.
class EchoServer {
 public:
  EchoServer() : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
        echoes_.emplace_back([fd] {
          char chunk[65536];
          for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
            SendAll(fd, std::string(chunk, static_cast<size_t>(n)));
          close(fd);
        });
      }
    });
  }
  ~EchoServer() {
    shutdown(listener_, SHUT_RDWR);  // wakes the accept
    acceptor_.join();
    for (std::thread& echo : echoes_)
      echo.join();
    close(listener_);
  }
  [[nodiscard]] int Port() const { return port_; }

 private:
  int listener_;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> echoes_;
};

TEST(DelayRelayTest, CarriesAFewMegabytesIntactBothWaysAndPassesTheClose) {
  for (const int delay : {0, 20}) {
    SCOPED_TRACE(delay);
    EchoServer echo;
    DelayRelay relay("127.0.0.1", echo.Port(), milliseconds(delay));
    std::string sent(4 << 20, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
      sent[i] = static_cast<char>((i * 7919) >> 8);
    const int fd = Connect(relay.Port());
    std::thread writer([&] {
      SendAll(fd, sent);
      shutdown(fd, SHUT_WR);
    });
    // Everything back, then the end of data: the close went through to the server and back.
    EXPECT_TRUE(Receive(fd, sent.size() + 1) == sent);
    writer.join();
    close(fd);
  }
}

TEST(DelayRelayTest, EachRequestAndAnswerIsOneTurnOfTwiceTheDelay) {
  struct Case {
    int delay;
    size_t requests;
  };
  for (const Case c : {Case{0, 1}, Case{0, 5}, Case{50, 1}, Case{50, 3}}) {
    SCOPED_TRACE(testing::Message() << c.delay << " ms, " << c.requests << " requests");
    EchoServer echo;
    DelayRelay relay("127.0.0.1", echo.Port(), milliseconds(c.delay));
    const int fd = Connect(relay.Port());
    const auto start = Clock::now();
    for (size_t i = 0; i < c.requests; ++i)
      EXPECT_EQ(RoundTrip(fd, "request " + std::to_string(i)), "request " + std::to_string(i));
    EXPECT_GE(Clock::now() - start, milliseconds(2 * c.delay * static_cast<int>(c.requests)));
    EXPECT_EQ(relay.Turns(), c.requests);
    EXPECT_EQ(relay.Rounds(), c.requests);
    EXPECT_EQ(relay.TurnsPerConnection(), std::vector<size_t>{c.requests});
    relay.ResetTurns();
    EXPECT_EQ(relay.TurnsPerConnection(), std::vector<size_t>{0});
    close(fd);
  }
}

TEST(DelayRelayTest, ConnectionsAtOnceAreCountedAndClosedApart) {
  EchoServer echo;
  DelayRelay relay("127.0.0.1", echo.Port(), milliseconds(50));
  const int first = Connect(relay.Port());
  EXPECT_EQ(RoundTrip(first, "first"), "first");
  const int second = Connect(relay.Port());
  std::thread other(
      [&] { EXPECT_EQ(RoundTrip(second, std::string(100'000, 's')), std::string(100'000, 's')); });
  EXPECT_EQ(RoundTrip(first, std::string(100'000, 'f')), std::string(100'000, 'f'));
  other.join();
  EXPECT_EQ(relay.TurnsPerConnection(), (std::vector<size_t>{2, 1}));
  EXPECT_EQ(relay.Rounds(), 2u);  // the two connections' turns at once made one
  EXPECT_EQ(relay.Connections(), 2);

  // The first closed (its end of data there and back), the second still answers; a reset
  // forgets the closed one.
  shutdown(first, SHUT_WR);
  EXPECT_EQ(Receive(first, 1), "");
  close(first);
  EXPECT_EQ(RoundTrip(second, "second"), "second");
  relay.ResetTurns();
  EXPECT_EQ(relay.TurnsPerConnection(), std::vector<size_t>{0});
  close(second);
}

TEST(DelayRelayTest, AConnectionTheTargetRefusesIsClosed) {
  const int port = EchoServer().Port();  // free again
  DelayRelay relay("127.0.0.1", port, milliseconds(0));
  const int fd = Connect(relay.Port());
  EXPECT_EQ(Receive(fd, 1), "");
  close(fd);
}

}  // namespace
