#include "service/http/tcpconnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "service/http/httperrors.h"

namespace {

constexpr int kTimedOut = 10060;

[[noreturn]] void ThrowErrno(int error) {
  throw ESocketError(SocketErrorNumberFromErrno(error));
}

in_addr Resolve(const QString& host) {
  const QByteArray name = host.toLatin1();
  in_addr address{};
  if (inet_pton(AF_INET, name.constData(), &address) == 1) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(name.constData(), nullptr, &hints, &found);
  if (result != 0 || found == nullptr) {
    const int error = errno;
    if (found != nullptr) freeaddrinfo(found);
    throw ESocketError(SocketErrorNumberFromResolver(result == 0 ? EAI_NONAME : result, error));
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return address;
}

// poll() for at most `timeout`, resumed after a signal with the time that is left.
bool PollFor(int fd, short events, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::max<qint64>(left.count(), 0)));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) ThrowErrno(errno);
  }
}

}  // namespace

std::unique_ptr<TTcpConnection> TTcpConnection::Open(const QString& host, quint16 port,
                                                     std::chrono::milliseconds connectTimeout,
                                                     std::chrono::milliseconds readTimeout) {
  const in_addr address = Resolve(host);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) ThrowErrno(errno);
  // Owned from here on, so every failure below closes it.
  std::unique_ptr<TTcpConnection> connection(new TTcpConnection(fd, host, port, readTimeout));

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr = address;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) ThrowErrno(errno);
    if (!PollFor(fd, POLLOUT, connectTimeout)) throw ESocketError(kTimedOut);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) ThrowErrno(errno);
    if (error != 0) ThrowErrno(error);
  }
  return connection;
}

TTcpConnection::TTcpConnection(int fd, QString host, quint16 port,
                               std::chrono::milliseconds readTimeout)
    : fd_(fd), host_(std::move(host)), port_(port), readTimeout_(readTimeout) {}

TTcpConnection::~TTcpConnection() {
  close(fd_);
}

bool TTcpConnection::Wait(short events, std::chrono::milliseconds timeout) {
  return PollFor(fd_, events, timeout);
}

void TTcpConnection::Send(const QByteArray& bytes) {
  qsizetype sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += n;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Wait(POLLOUT, readTimeout_)) throw ESocketError(kTimedOut);
    } else if (errno != EINTR) {
      ThrowErrno(errno);
    }
  }
}

qsizetype TTcpConnection::Receive(char* data, qsizetype max) {
  for (;;) {
    const ssize_t n = recv(fd_, data, max, 0);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Wait(POLLIN, readTimeout_)) throw ESocketError(kTimedOut);
    } else if (errno != EINTR) {
      ThrowErrno(errno);
    }
  }
}

bool TTcpConnection::WaitReadable(int ms) {
  return Wait(POLLIN, std::chrono::milliseconds(ms));
}
