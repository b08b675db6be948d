#include "principal/rdp/session/rdpsessionsockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace {

// The process's open sockets: descriptor and the socket it names ("socket:[inode]"), read from
// the links in /proc/self/fd. The links say what a descriptor is without touching it: most
// descriptors belong to other threads (Qt's, the clipboard's), which may close them meanwhile.
std::map<int, std::string> OpenSockets() {
  std::map<int, std::string> sockets;
  const QDir fds(QStringLiteral("/proc/self/fd"));
  const auto entries = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
  for (const auto& entry : entries) {
    bool ok = false;
    const int fd = entry.toInt(&ok);
    const QString target = fds.filePath(entry);
    char link[64] = {};
    const ssize_t length =
        ::readlink(QFile::encodeName(target).constData(), link, sizeof(link) - 1);
    if (ok && length > 0 && std::strncmp(link, "socket:[", 8) == 0)
      sockets.emplace(fd, std::string(link, static_cast<size_t>(length)));
  }
  return sockets;
}

}  // namespace

std::set<std::string> SocketsOpenNow() {
  std::set<std::string> sockets;
  for (const auto& [fd, socket] : OpenSockets()) sockets.insert(socket);
  return sockets;
}

std::vector<int> NewSocketsTo(const std::set<std::string>& before, int port) {
  std::vector<int> found;
  for (const auto& [fd, socket] : OpenSockets()) {
    if (before.count(socket) != 0) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    int peerPort = -1;
    if (peer.ss_family == AF_INET)
      peerPort = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
      peerPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    if (peerPort == port) found.push_back(fd);
  }
  return found;
}

void ShutDownNewSocketsTo(const std::set<std::string>& before, int port) {
  for (const int fd : NewSocketsTo(before, port)) ::shutdown(fd, SHUT_RDWR);
}

bool PeerGone(const std::vector<int>& sockets) {
  if (sockets.empty()) return false;
  for (const int fd : sockets) {
    pollfd watch{fd, POLLRDHUP, 0};
    if (::poll(&watch, 1, 0) != 1 || (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
      return false;
  }
  return true;
}

std::optional<std::chrono::microseconds> KernelRoundTrip(const std::vector<int>& sockets) {
  std::optional<std::chrono::microseconds> slowest;
  for (const int fd : sockets) {
    tcp_info info{};
    socklen_t length = sizeof(info);
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || info.tcpi_rtt == 0)
      continue;
    const std::chrono::microseconds rtt{info.tcpi_rtt};
    if (!slowest || rtt > *slowest) slowest = rtt;
  }
  return slowest;
}

std::optional<std::chrono::microseconds> WaitForAnswer(const std::vector<int>& sockets,
                                                       std::chrono::steady_clock::time_point since,
                                                       std::chrono::milliseconds limit) {
  if (sockets.empty()) return std::nullopt;
  std::vector<pollfd> watch;
  for (const int fd : sockets) watch.push_back({fd, POLLIN, 0});
  const auto start = since;
  const auto until = start + limit;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return std::chrono::duration_cast<std::chrono::microseconds>(limit);
    // Rounded up: a wait cut short below a millisecond would spin.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    const int ready = ::poll(watch.data(), watch.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    for (const pollfd& one : watch) {
      if ((one.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return std::nullopt;
      if ((one.revents & POLLIN) != 0)
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
    }
  }
}
