// A peer that takes connections and never says a word: for the tests of giving up on a server
// that stops answering in the middle of a handshake.
//   silent_listener ADDRESS PORT
// Accepts on ADDRESS:PORT, reads and throws away whatever arrives, answers nothing. Ends on
// SIGTERM or when its parent goes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: silent_listener ADDRESS PORT\n");
    return 2;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (::inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
    std::fprintf(stderr, "silent_listener: bad address %s\n", argv[1]);
    return 2;
  }
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 8) != 0) {
    std::perror("silent_listener");
    return 1;
  }
  std::vector<pollfd> fds{{listener, POLLIN, 0}};
  char sink[4096];
  while (::poll(fds.data(), fds.size(), -1) >= 0) {
    for (size_t i = fds.size(); i-- > 0;) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (fds[i].fd == listener) {
        const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer >= 0) fds.push_back({peer, POLLIN, 0});
      } else if (::read(fds[i].fd, sink, sizeof sink) <= 0) {
        ::close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  return 0;
}
