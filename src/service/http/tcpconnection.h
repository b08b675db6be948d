#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <memory>

#include "service/http/bytestream.h"

// One TCP connection over a POSIX socket, IPv4 only. Every wait is bounded: connecting by the
// connect time-out, each send and receive by the read time-out; running out fails with socket
// error 10060 ("Connection timed out."). Failures are ESocketError.
class TTcpConnection : public TByteSource {
 public:
  // Resolves `host` (a dotted IPv4 address is used as it is; a name takes the resolver's first
  // IPv4 address, no other is tried) and connects, Nagle's algorithm left on.
  [[nodiscard]] static std::unique_ptr<TTcpConnection> Open(
      const QString& host, quint16 port, std::chrono::milliseconds connectTimeout,
      std::chrono::milliseconds readTimeout);
  ~TTcpConnection() override;
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Writes the whole buffer (one write, unless the kernel takes only part of it).
  void Send(const QByteArray& bytes);
  qsizetype Receive(char* data, qsizetype max) override;
  [[nodiscard]] bool WaitReadable(int ms) override;

  [[nodiscard]] const QString& Host() const { return host_; }
  [[nodiscard]] quint16 Port() const { return port_; }

 private:
  TTcpConnection(int fd, QString host, quint16 port, std::chrono::milliseconds readTimeout);
  // Waits for `events` on the socket for at most `timeout`; false when the time ran out.
  bool Wait(short events, std::chrono::milliseconds timeout);

  int fd_;
  QString host_;
  quint16 port_;
  std::chrono::milliseconds readTimeout_;
};
