#include "lookupserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LookupServer::LookupServer(const char* address, int port) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &where.sin_addr);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listener_, 8) != 0) {
    close(listener_);
    listener_ = -1;
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

LookupServer::~LookupServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

void LookupServer::ReplyWithBody(const QByteArray& body, const QByteArray& extraHeaders) {
  ReplyWithBytes("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n" + extraHeaders +
                 "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

void LookupServer::ReplyWithBytes(const QByteArray& bytes) {
  std::lock_guard lock(mutex_);
  reply_ = bytes;
}

QStringList LookupServer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

void LookupServer::Serve() {
  // One client connection at a time; the client may keep it open for its next request.
  int client = -1;
  QByteArray pending;
  while (!stop_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}};
    if (poll(fds, client >= 0 ? 2 : 1, 50) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      if (client >= 0) close(client);
      client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      pending.clear();
      continue;
    }
    if (client < 0 || !(fds[1].revents & (POLLIN | POLLHUP))) continue;
    char buffer[4096];
    const ssize_t n = read(client, buffer, sizeof buffer);
    if (n <= 0) {
      close(client);
      client = -1;
      continue;
    }
    pending.append(buffer, n);
    const qsizetype end = pending.indexOf("\r\n\r\n");
    if (end < 0) continue;
    QByteArray reply;
    {
      std::lock_guard lock(mutex_);
      requests_.append(QString::fromLatin1(pending.left(end + 4)));
      reply = reply_;
    }
    pending.remove(0, end + 4);
    (void)!write(client, reply.constData(), static_cast<size_t>(reply.size()));
  }
  if (client >= 0) close(client);
}
