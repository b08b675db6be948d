#include "silentlistener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

SilentListener::~SilentListener() {
  if (fd_ >= 0) ::close(fd_);
}

bool SilentListener::Listen(const char* address, int port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 || ::inet_pton(AF_INET, address, &where.sin_addr) != 1) {
    errno = EINVAL;
    return false;
  }
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t length = sizeof where;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::listen(fd_, 8) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    errno = error;
    return false;
  }
  port_ = ntohs(where.sin_port);
  return true;
}

void SilentListener::Serve() {
  std::vector<pollfd> fds{{fd_, POLLIN, 0}};
  char sink[4096];
  while (::poll(fds.data(), fds.size(), -1) >= 0) {
    for (size_t i = fds.size(); i-- > 0;) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (fds[i].fd == fd_) {
        const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer >= 0) fds.push_back({peer, POLLIN, 0});
      } else if (::read(fds[i].fd, sink, sizeof sink) <= 0) {
        ::close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}
