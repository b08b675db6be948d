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
inline constexpr char kReplyOutOfMemory[] = "Not enough memory for the reply.";
// Replies whose framing cannot be trusted: reading on would hand the caller a wrong body.
inline constexpr char kInvalidStatusLine[] = "Invalid reply status line.";
inline constexpr char kMalformedReplyHeader[] = "Malformed reply header.";
inline constexpr char kReplyHeaderCutOff[] = "Connection closed inside the reply header.";
inline constexpr char kInvalidContentLength[] = "Invalid Content-Length.";
inline constexpr char kConflictingContentLength[] = "Conflicting Content-Length values.";
inline constexpr char kInvalidChunkSize[] = "Invalid chunk size.";
inline constexpr char kChunkTooLong[] = "Chunk data longer than its size.";
inline constexpr char kBodyIncomplete[] = "Connection closed after %1 of %2 bytes.";
// The whole call (name lookup, connect, reply) ran past its deadline.
inline constexpr char kRequestTimedOut[] = "Request timed out: no complete reply within %1 s.";
// A call started from inside another call of the same component (a progress handler).
inline constexpr char kTransferBusy[] = "A request is already running; wait for it to end.";

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

// The server closed the connection before the body it announced was complete.
class EHttpBodyIncomplete : public EHttpReplyError {
 public:
  EHttpBodyIncomplete(qint64 received, qint64 announced)
      : EHttpReplyError(QString::fromLatin1(kBodyIncomplete).arg(received).arg(announced)),
        received_(received),
        announced_(announced) {}
  [[nodiscard]] qint64 Received() const { return received_; }
  [[nodiscard]] qint64 Announced() const { return announced_; }
  [[nodiscard]] const char* ClassName() const override { return "EHttpBodyIncomplete"; }

 private:
  qint64 received_;
  qint64 announced_;
};

// The call's deadline ran out; `seconds` is the whole call's allowance.
class EHttpTimeout : public Exception {
 public:
  explicit EHttpTimeout(qint64 seconds)
      : Exception(QString::fromLatin1(kRequestTimedOut).arg(seconds)) {}
  [[nodiscard]] const char* ClassName() const override { return "EHttpTimeout"; }
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
