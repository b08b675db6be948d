#include "scriptedpeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

constexpr int kStepTimeoutMs = 5000;

bool WaitIn(int fd, int ms) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

}  // namespace

TScriptedPeer::TScriptedPeer(std::vector<TPeerScript> scripts)
    : scripts_(std::move(scripts)), clientClosed_(scripts_.size() + 64, false) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 8) != 0) {
    throw std::runtime_error("scripted peer: cannot listen on loopback");
  }
  socklen_t size = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TScriptedPeer::~TScriptedPeer() {
  stop_ = true;
  thread_.join();
  close(listenFd_);
}

QString TScriptedPeer::Url(const QString& path) const {
  return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

std::vector<std::string> TScriptedPeer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool TScriptedPeer::ClientClosed(int index) const {
  std::lock_guard lock(mutex_);
  return clientClosed_.at(index);
}

void TScriptedPeer::Run() {
  size_t next = 0;
  while (!stop_) {
    if (!WaitIn(listenFd_, 20)) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int index = accepted_++;
    // A connection beyond the scripts is closed at once (the test counts it).
    if (next < scripts_.size()) Play(fd, scripts_[next++], index);
    close(fd);
    ++finished_;
  }
}

void TScriptedPeer::Play(int fd, const TPeerScript& script, int index) {
  std::string pending;
  for (const TPeerStep& step : script) {
    if (stop_) return;
    switch (step.kind) {
      case TPeerStep::ReadRequest: {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
          char chunk[4096];
          if (!WaitIn(fd, kStepTimeoutMs)) return;
          const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
          if (n <= 0) return;
          pending.append(chunk, static_cast<size_t>(n));
        }
        std::lock_guard lock(mutex_);
        requests_.push_back(pending.substr(0, end + 4));
        pending.erase(0, end + 4);
        break;
      }
      case TPeerStep::Send: {
        size_t sent = 0;
        while (sent < step.bytes.size()) {
          const ssize_t n =
              send(fd, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) return;
          sent += static_cast<size_t>(n);
        }
        break;
      }
      case TPeerStep::Close:
        return;
      case TPeerStep::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        break;
      case TPeerStep::WaitClientClose: {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
          if (!WaitIn(fd, 20)) continue;
          char chunk[4096];
          const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
          if (n <= 0) {
            std::lock_guard lock(mutex_);
            clientClosed_.at(index) = true;
            return;
          }
        }
        return;
      }
    }
  }
}
