#pragma once

#include <QByteArray>
#include <QString>

#include "core/errors.h"

// Failures of the HTTP transfer. Each carries the exact text the user is shown.

// Texts of failures that have no number.
inline constexpr char kConnectionClosedGracefully[] = "Connection Closed Gracefully.";
inline constexpr char kMaxLineLengthExceeded[] = "Max line length exceeded.";
// Bounds of our own against a hostile or broken server (see replyreader.h for the sizes).
inline constexpr char kReplyHeaderTooLarge[] = "Reply header too large.";
inline constexpr char kReplyBodyTooLarge[] = "Reply body too large.";

// A socket or resolver failure: "Socket Error # <number>" CR LF and the number's text, if any.
class ESocketError : public Exception {
 public:
  explicit ESocketError(int number);
  [[nodiscard]] int Number() const { return number_; }
  [[nodiscard]] const char* ClassName() const override { return "ESocketError"; }

 private:
  int number_;
};

// The server closed the connection where a reply was still owed.
class EConnClosedGracefully : public Exception {
 public:
  EConnClosedGracefully() : Exception(QString::fromLatin1(kConnectionClosedGracefully)) {}
  [[nodiscard]] const char* ClassName() const override { return "EConnClosedGracefully"; }
};

// A reply that breaks the framing rules or our memory bounds.
class EHttpReplyError : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EHttpReplyError"; }
};

// A status that is not a success: the message is the status line exactly as received.
class EHttpProtocolError : public Exception {
 public:
  EHttpProtocolError(int code, const QString& statusLine, QString errorBody)
      : Exception(statusLine), code_(code), errorBody_(std::move(errorBody)) {}
  [[nodiscard]] int ErrorCode() const { return code_; }
  // The server's error page, decoded like a text reply (kept to a bounded size).
  [[nodiscard]] const QString& ErrorBody() const { return errorBody_; }
  [[nodiscard]] const char* ClassName() const override { return "EHttpProtocolError"; }

 private:
  int code_;
  QString errorBody_;
};

// The numbered socket error texts the product shows; empty for a number without one.
[[nodiscard]] QString SocketErrorText(int number);
// "Socket Error # %d\r\n%s".
[[nodiscard]] QString SocketErrorMessage(int number);
// The number a Linux errno is shown as; an errno without an equivalent keeps its own number.
[[nodiscard]] int SocketErrorNumberFromErrno(int error);
// The number a getaddrinfo() result is shown as (EAI_SYSTEM goes through errno).
[[nodiscard]] int SocketErrorNumberFromResolver(int result, int error);
