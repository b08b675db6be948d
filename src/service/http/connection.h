#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "service/http/bytestream.h"

// The end of a whole call: name lookup, connect, request and reply all fit before `at`. `total`
// is what the call was given, for the time-out text.
struct TDeadline {
  using TClock = std::chrono::steady_clock;
  TClock::time_point at;
  std::chrono::milliseconds total{0};

  [[nodiscard]] static TDeadline In(std::chrono::milliseconds total) {
    return {TClock::now() + total, total};
  }
  // What is left of it, never below zero.
  [[nodiscard]] std::chrono::milliseconds Left() const;
  // Throws EHttpTimeout.
  [[noreturn]] void Expired() const;
};

// One connection the transfer talks over: TCP in the program, a script of bytes in the fuzzer.
class TConnection : public TByteSource {
 public:
  TConnection(QString host, quint16 port) : host_(std::move(host)), port_(port) {}
  // Writes the whole buffer. Throws ESocketError or EHttpTimeout.
  virtual void Send(const QByteArray& bytes) = 0;
  // Whether a kept connection has been closed by the server (or has sent something unasked)
  // while it waited for the next call, so that it cannot carry another request.
  [[nodiscard]] virtual bool ClosedWhileIdle() = 0;
  // No wait of the call that uses the connection now goes past this.
  virtual void SetDeadline(const TDeadline& deadline) = 0;

  [[nodiscard]] const QString& Host() const { return host_; }
  [[nodiscard]] quint16 Port() const { return port_; }

 private:
  QString host_;
  quint16 port_;
};

// Opens a connection to host and port within the deadline.
using TConnector = std::function<std::unique_ptr<TConnection>(const QString& host, quint16 port,
                                                              const TDeadline& deadline)>;
