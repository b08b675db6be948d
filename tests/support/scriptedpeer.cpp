#include "scriptedpeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kStepTimeoutMs = 5000;
// How often a waiting step looks whether the peer is being destroyed.
constexpr int kTickMs = 20;

bool WaitIn(int fd, int ms) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

bool SendAll(int fd, const char* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Whether the client has closed or reset its side (without taking any request bytes).
bool ClientGone(int fd) {
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&entry, 1, 0) <= 0) return false;
  if (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

QByteArray OkReply(const QByteArray& body, const QByteArray& extraHeaders) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n" + extraHeaders +
         "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts, const char* address, int port)
    : scripts_(std::move(scripts)), address_(address) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &where.sin_addr);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listenFd_, 8) != 0) {
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return;
  }
  socklen_t size = sizeof where;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&where), &size);
  port_ = ntohs(where.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TScriptedPeer::TScriptedPeer(const char* address, int port) : TScriptedPeer({}, address, port) {}

TScriptedPeer::~TScriptedPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

QString TScriptedPeer::Url(const QString& path) const {
  return QStringLiteral("http://%1:%2%3")
      .arg(QString::fromStdString(address_))
      .arg(port_)
      .arg(path);
}

void TScriptedPeer::ReplyWithBytes(const QByteArray& bytes) {
  std::lock_guard lock(mutex_);
  reply_ = bytes;
  answering_ = true;
}

void TScriptedPeer::ReplyWithBody(const QByteArray& body, const QByteArray& extraHeaders) {
  ReplyWithBytes(OkReply(body, extraHeaders));
}

QStringList TScriptedPeer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool TScriptedPeer::ClientClosed(int index) const {
  std::lock_guard lock(mutex_);
  return std::find(clientClosed_.begin(), clientClosed_.end(), index) != clientClosed_.end();
}

void TScriptedPeer::Run() {
  size_t next = 0;
  while (!stop_) {
    if (!WaitIn(listenFd_, kTickMs)) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int index = accepted_++;
    if (next < scripts_.size()) {
      Play(fd, scripts_[next++], index);
    } else if (answering_) {
      Answer(fd);
    }
    // Otherwise a connection beyond the scripts is closed at once (a test may count it).
    close(fd);
    ++finished_;
  }
}

bool TScriptedPeer::ReadHead(int fd, std::string& pending, int waitMs) {
  size_t end;
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    char chunk[4096];
    if (!WaitIn(fd, waitMs)) return false;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending.append(chunk, static_cast<size_t>(n));
  }
  std::lock_guard lock(mutex_);
  requests_.append(QString::fromLatin1(pending.data(), static_cast<qsizetype>(end + 4)));
  pending.erase(0, end + 4);
  return true;
}

void TScriptedPeer::Answer(int fd) {
  // One client connection at a time, kept for its next request; a new connection ends it, as a
  // busy server would, so a client that reconnects is never left waiting.
  std::string pending;
  while (!stop_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, 2, kTickMs) <= 0) continue;
    if (fds[0].revents & POLLIN) return;
    if (!ReadHead(fd, pending, kStepTimeoutMs)) return;
    QByteArray reply;
    {
      std::lock_guard lock(mutex_);
      reply = reply_;
    }
    if (!SendAll(fd, reply.constData(), static_cast<size_t>(reply.size()))) return;
  }
}

void TScriptedPeer::Play(int fd, const TPeerScript& script, int index) {
  std::string pending;
  const auto pause = [this](int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kTickMs)));
    }
  };
  for (const TPeerStep& step : script) {
    if (stop_) return;
    switch (step.kind) {
      case TPeerStep::ReadRequest:
        if (!ReadHead(fd, pending, kStepTimeoutMs)) return;
        break;
      case TPeerStep::Send:
        if (!SendAll(fd, step.bytes.data(), step.bytes.size())) return;
        break;
      case TPeerStep::Close:
        return;
      case TPeerStep::Pause:
        pause(step.ms);
        break;
      case TPeerStep::Drip:
        do {
          for (const char byte : step.bytes) {
            if (stop_ || ClientGone(fd) || !SendAll(fd, &byte, 1)) return;
            if (!step.endless) pause(step.ms);
          }
          if (step.endless) pause(step.ms);
        } while (step.endless);
        break;
      case TPeerStep::WaitClientClose: {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
          if (!WaitIn(fd, kTickMs)) continue;
          char chunk[4096];
          if (recv(fd, chunk, sizeof chunk, 0) <= 0) {
            std::lock_guard lock(mutex_);
            clientClosed_.push_back(index);
            return;
          }
        }
        return;
      }
    }
  }
}
