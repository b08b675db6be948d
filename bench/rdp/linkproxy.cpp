#include "linkproxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// What the link queues before it stops reading from the sender: about 25 ms at 20 Mbit/s.
constexpr std::size_t kQueueBound = 64 * 1024;
constexpr std::size_t kReadSize = 16 * 1024;
constexpr auto kIdleWait = std::chrono::milliseconds(50);

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// One direction of the link: bytes leave the queue at the link's rate and arrive a delay later.
struct Direction {
  int from;
  int to;
  std::atomic<std::int64_t>* counted;
  struct Chunk {
    std::vector<char> bytes;
    Clock::time_point due;
  };
  std::deque<Chunk> inFlight;
  Clock::time_point linkFree{};  // when the link has sent everything it was given
  bool ended = false;            // the sender closed; what is in flight still arrives
  bool broken = false;           // the receiver is gone

  // Bytes given to the link and not yet sent on it.
  [[nodiscard]] std::size_t Queued(Clock::time_point now, std::int64_t rate) const {
    if (rate <= 0 || linkFree <= now) return 0;
    const auto left = std::chrono::duration<double>(linkFree - now).count();
    return static_cast<std::size_t>(left * static_cast<double>(rate) / 8);
  }
  [[nodiscard]] bool WantsToRead(Clock::time_point now, std::int64_t rate) const {
    return !ended && !broken && Queued(now, rate) < kQueueBound;
  }
};

}  // namespace

LinkProxy::LinkProxy(int serverPort, Link link) : serverPort_(serverPort), link_(link) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return;
  }
  listener_ = fd;
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

LinkProxy::~LinkProxy() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard lock(connectionsMutex_);
  for (std::thread& connection : connections_) connection.join();
  if (listener_ >= 0) close(listener_);
}

void LinkProxy::Accept() {
  while (!stop_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(kIdleWait.count())) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = Connect(serverPort_);
    if (server < 0) {
      close(client);
      continue;
    }
    // The link's own pace decides, not the sockets' coalescing.
    const int yes = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::lock_guard lock(connectionsMutex_);
    connections_.emplace_back([this, client, server] { Carry(client, server); });
  }
}

void LinkProxy::Carry(int client, int server) {
  Direction directions[2] = {{client, server, nullptr, {}, {}, false, false},
                             {server, client, &bytesDown_, {}, {}, false, false}};
  const std::int64_t rate = link_.bitsPerSecond;
  std::vector<char> buffer(kReadSize);
  while (!stop_) {
    auto now = Clock::now();
    bool done = true;
    for (Direction& d : directions) {
      while (!d.inFlight.empty() && d.inFlight.front().due <= now) {
        const auto& bytes = d.inFlight.front().bytes;
        if (!d.broken && !SendAll(d.to, bytes.data(), bytes.size())) d.broken = true;
        d.inFlight.pop_front();
      }
      if (d.ended && d.inFlight.empty() && !d.broken) {
        shutdown(d.to, SHUT_WR);
        d.broken = true;
      }
      if (!d.broken) done = false;
    }
    if (done) break;
    // Sleep until the next arrival, until the queue has room again, or until a sender writes.
    now = Clock::now();
    auto wake = now + kIdleWait;
    pollfd waiting[2];
    for (int i = 0; i < 2; ++i) {
      Direction& d = directions[i];
      if (!d.inFlight.empty()) wake = std::min(wake, d.inFlight.front().due);
      const bool reading = d.WantsToRead(now, rate);
      if (!reading && !d.ended && !d.broken && rate > 0) {
        const auto drain = std::chrono::duration<double>(8.0 * kQueueBound / 2 / rate);
        wake = std::min(wake, now + std::chrono::duration_cast<Clock::duration>(drain));
      }
      waiting[i] = {d.from, static_cast<short>(reading ? POLLIN : 0), 0};
    }
    const auto wait = std::max(Clock::duration::zero(), wake - now);
    const timespec timeout{
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(wait).count()),
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count() %
                          1000000000)};
    if (ppoll(waiting, 2, &timeout, nullptr) <= 0) continue;
    now = Clock::now();
    for (int i = 0; i < 2; ++i) {
      Direction& d = directions[i];
      if ((waiting[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const std::size_t room =
          rate > 0 ? kQueueBound - std::min(kQueueBound, d.Queued(now, rate)) : kReadSize;
      const ssize_t got =
          recv(d.from, buffer.data(), std::min(kReadSize, std::max<std::size_t>(room, 1)), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        d.ended = true;
        continue;
      }
      if (d.counted != nullptr) *d.counted += got;
      const auto start = std::max(d.linkFree, now);
      d.linkFree =
          rate > 0
              ? start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            8.0 * static_cast<double>(got) / static_cast<double>(rate)))
              : now;
      d.inFlight.push_back(
          {std::vector<char>(buffer.begin(), buffer.begin() + got), d.linkFree + link_.delay});
    }
  }
  close(client);
  close(server);
}
