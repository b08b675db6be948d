#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <memory>

#include "service/http/connection.h"

// One TCP connection over a POSIX socket, IPv4 only. Every wait is bounded twice: by its own
// time-out (connecting by the connect time-out, each send and receive by the read time-out),
// which fails with socket error 10060 ("Connection timed out."), and by the call's deadline,
// which fails with EHttpTimeout. Other failures are ESocketError.
class TTcpConnection : public TConnection {
 public:
  // Resolves `host` (a dotted IPv4 address is used as it is; a name takes the resolver's first
  // IPv4 address, no other is tried) and connects, Nagle's algorithm left on. The name lookup
  // runs on a thread of its own, so that a resolver that never answers cannot hold the call past
  // its deadline.
  [[nodiscard]] static std::unique_ptr<TTcpConnection> Open(
      const QString& host, quint16 port, std::chrono::milliseconds connectTimeout,
      std::chrono::milliseconds readTimeout, const TDeadline& deadline);
  ~TTcpConnection() override;
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Writes the whole buffer (one write, unless the kernel takes only part of it).
  void Send(const QByteArray& bytes) override;
  qsizetype Receive(char* data, qsizetype max) override;
  [[nodiscard]] bool WaitReadable(int ms) override;
  [[nodiscard]] bool ClosedWhileIdle() override;
  void SetDeadline(const TDeadline& deadline) override { deadline_ = deadline; }

 private:
  TTcpConnection(int fd, QString host, quint16 port, std::chrono::milliseconds readTimeout,
                 const TDeadline& deadline);

  int fd_;
  std::chrono::milliseconds readTimeout_;
  TDeadline deadline_;
};
