#pragma once

#include <QString>
#include <exception>
#include <string>

// The product's failures: an exception that carries the text the user is shown. A handler that
// wraps a lower failure uses std::throw_with_nested, and the error box shows the innermost text.
class Exception : public std::exception {
 public:
  explicit Exception(QString message);

  [[nodiscard]] const QString& Message() const { return message_; }
  // The failure's kind as the fatal start-up report names it.
  [[nodiscard]] virtual const char* ClassName() const { return "Exception"; }
  [[nodiscard]] const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  QString message_;
  std::string utf8_;
};

// The silent failure: dropped by the default error box without any message.
class EAbort : public Exception {
 public:
  EAbort() : Exception(QStringLiteral("Operation aborted")) {}
  [[nodiscard]] const char* ClassName() const override { return "EAbort"; }
};

// A call that is not allowed in the object's current state (ShowModal on a visible window).
class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EInvalidOperation"; }
};

// The message of a failure: the innermost non-empty one of a nested chain, else the outer one.
[[nodiscard]] QString ExceptionMessage(std::exception_ptr failure);

// The failure's kind: ClassName() for ours, the demangled type name for any other.
[[nodiscard]] QString ExceptionKind(std::exception_ptr failure);

// The error box's text rule: a text whose last character sorts after "." gains a ".".
[[nodiscard]] QString ErrorBoxText(const QString& message);
