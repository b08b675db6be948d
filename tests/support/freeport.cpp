#include "freeport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QString>
#include <algorithm>
#include <chrono>
#include <thread>

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

bool WaitForPort(int port, int timeoutMs, const std::function<bool()>& stillStarting) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in address = Loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (ok) return true;
    if (stillStarting && !stillStarting()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

namespace {

bool DisplayHeld(int number, const QSet<int>& abstractSockets) {
  return QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
         QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
         abstractSockets.contains(number);
}

// Display numbers of the X servers listening on abstract sockets in this network namespace.
QSet<int> AbstractXSockets() {
  QSet<int> numbers;
  QFile table(QStringLiteral("/proc/net/unix"));
  if (!table.open(QIODevice::ReadOnly)) return numbers;
  const QByteArray prefix = "@/tmp/.X11-unix/X";
  for (const QByteArray& line : table.readAll().split('\n')) {
    const QByteArray path = line.trimmed().split(' ').last();
    if (!path.startsWith(prefix)) continue;
    bool ok = false;
    const int number = path.mid(prefix.size()).toInt(&ok);
    if (ok) numbers.insert(number);
  }
  return numbers;
}

}  // namespace

std::vector<int> FreeDisplayNumbers(int count) {
  const QSet<int> abstractSockets = AbstractXSockets();
  std::vector<int> numbers;
  for (const QByteArray& chosen : qgetenv("ZENTRA_FREE_DISPLAYS").split(' ')) {
    bool ok = false;
    const int number = chosen.toInt(&ok);
    if (ok && !DisplayHeld(number, abstractSockets)) numbers.push_back(number);
  }
  // Spread out, so that runs side by side rarely try the same number first.
  const int start = 100 + static_cast<int>(QRandomGenerator::global()->bounded(800));
  for (int number = start; number < start + 4000 && static_cast<int>(numbers.size()) < count;
       ++number) {
    if (DisplayHeld(number, abstractSockets)) continue;
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
      numbers.push_back(number);
  }
  return numbers;
}
