// A local stand-in for the provider's lookup endpoint, for the demo and the end-to-end tests:
//   lookup_service ADDRESS PORT REPLY [LOGFILE]
// Serves GET /app/login.php?usuario=KEY with REPLY as the body ("server;port") for any key, one
// connection at a time, and appends each request line to LOGFILE when given. Ends on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
  gStop = 1;
}

// Reads the request head (up to the blank line) with a bound on its size.
std::string ReadHead(int fd) {
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  return head;
}

void WriteAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = write(fd, data.data() + sent, data.size() - sent);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: lookup_service ADDRESS PORT REPLY [LOGFILE]\n");
    return 2;
  }
  // Without SA_RESTART, so that a signal interrupts the wait in accept() and the loop ends.
  struct sigaction stop {};
  stop.sa_handler = OnSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    std::perror("lookup_service");
    return 1;
  }
  const std::string reply = argv[3];
  FILE* log = argc > 4 ? std::fopen(argv[4], "a") : nullptr;

  while (!gStop) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    timeval timeout{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string head = ReadHead(client);
    const std::string requestLine = head.substr(0, head.find("\r\n"));
    if (log != nullptr) {
      std::fprintf(log, "%s\n", requestLine.c_str());
      std::fflush(log);
    }
    const bool known = requestLine.rfind("GET /app/login.php?usuario=", 0) == 0;
    const std::string body = known ? reply : "Not Found";
    WriteAll(client, std::string(known ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                         "\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    close(client);
  }
  if (log != nullptr) std::fclose(log);
  close(listener);
  return 0;
}
