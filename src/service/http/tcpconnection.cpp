#include "service/http/tcpconnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "service/http/httperrors.h"
#include "service/http/httplog.h"

namespace {

constexpr int kTimedOut = 10060;

[[noreturn]] void ThrowErrno(int error) {
  throw ESocketError(SocketErrorNumberFromErrno(error));
}

// One name lookup, shared by the caller and the thread that does it: whoever leaves last frees
// it, so a caller that gave up never leaves the thread writing into freed memory.
struct TLookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int result = 0;
  int error = 0;
  in_addr address{};
};

in_addr Resolve(const QString& host, const TDeadline& deadline) {
  const QByteArray name = host.toLatin1();
  in_addr address{};
  if (inet_pton(AF_INET, name.constData(), &address) == 1) return address;
  auto lookup = std::make_shared<TLookup>();
  try {
    std::thread([lookup, name] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      const int result = getaddrinfo(name.constData(), nullptr, &hints, &found);
      const int error = errno;
      std::lock_guard lock(lookup->mutex);
      lookup->result = result == 0 && found == nullptr ? EAI_NONAME : result;
      lookup->error = error;
      if (result == 0 && found != nullptr) {
        lookup->address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
      }
      if (found != nullptr) freeaddrinfo(found);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    ThrowErrno(EAGAIN);  // no thread to be had: as the resolver says when it runs out
  }
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done.wait_until(lock, deadline.at, [&] { return lookup->finished; })) {
    qCDebug(lcHttp) << "name lookup still unanswered at the deadline";
    deadline.Expired();
  }
  if (lookup->result != 0) {
    throw ESocketError(SocketErrorNumberFromResolver(lookup->result, lookup->error));
  }
  return lookup->address;
}

// poll() for at most `timeout` and never past the deadline, resumed after a signal with the
// time that is left. False when `timeout` ran out; the deadline throws.
bool PollFor(int fd, short events, std::chrono::milliseconds timeout, const TDeadline& deadline) {
  using Clock = std::chrono::steady_clock;
  const auto own = Clock::now() + timeout;
  const bool deadlineFirst = deadline.at <= own;
  const auto until = deadlineFirst ? deadline.at : own;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd entry{fd, events, 0};
    // Rounded up, so that a wait never ends a moment before the time it waits for.
    const int ready = poll(&entry, 1, static_cast<int>(std::max<qint64>(left.count() + 1, 0)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) ThrowErrno(errno);
    if (ready == 0 && Clock::now() >= until) {
      if (deadlineFirst) deadline.Expired();
      return false;
    }
  }
}

}  // namespace

std::unique_ptr<TTcpConnection> TTcpConnection::Open(const QString& host, quint16 port,
                                                     std::chrono::milliseconds connectTimeout,
                                                     std::chrono::milliseconds readTimeout,
                                                     const TDeadline& deadline) {
  const in_addr address = Resolve(host, deadline);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) ThrowErrno(errno);
  // Owned from here on, so every failure below closes it.
  std::unique_ptr<TTcpConnection> connection(
      new TTcpConnection(fd, host, port, readTimeout, deadline));

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr = address;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) ThrowErrno(errno);
    if (!PollFor(fd, POLLOUT, connectTimeout, deadline)) throw ESocketError(kTimedOut);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) ThrowErrno(errno);
    if (error != 0) ThrowErrno(error);
  }
  return connection;
}

TTcpConnection::TTcpConnection(int fd, QString host, quint16 port,
                               std::chrono::milliseconds readTimeout, const TDeadline& deadline)
    : TConnection(std::move(host), port), fd_(fd), readTimeout_(readTimeout), deadline_(deadline) {}

TTcpConnection::~TTcpConnection() {
  close(fd_);
}

void TTcpConnection::Send(const QByteArray& bytes) {
  qsizetype sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += n;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!PollFor(fd_, POLLOUT, readTimeout_, deadline_)) throw ESocketError(kTimedOut);
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
      if (!PollFor(fd_, POLLIN, readTimeout_, deadline_)) throw ESocketError(kTimedOut);
    } else if (errno != EINTR) {
      ThrowErrno(errno);
    }
  }
}

bool TTcpConnection::WaitReadable(int ms) {
  return PollFor(fd_, POLLIN, std::chrono::milliseconds(ms), deadline_);
}

bool TTcpConnection::ClosedWhileIdle() {
  // An idle connection has nothing to say: any readable byte, end or error means it is done.
  pollfd entry{fd_, POLLIN | POLLRDHUP, 0};
  return poll(&entry, 1, 0) != 0;
}
