#include "core/errors.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <vector>

Exception::Exception(QString message)
    : message_(std::move(message)), utf8_(message_.toStdString()) {}

namespace {

QString MessageOf(const std::exception& e) {
  if (const auto* ours = dynamic_cast<const Exception*>(&e)) return ours->Message();
  return QString::fromUtf8(e.what());
}

// Walks a nested chain outermost first.
void CollectChain(std::exception_ptr failure, std::vector<QString>& chain) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    chain.push_back(MessageOf(e));
    try {
      std::rethrow_if_nested(e);
    } catch (...) {
      CollectChain(std::current_exception(), chain);
    }
  } catch (...) {
    chain.push_back(QStringLiteral("Unknown exception"));
  }
}

QString Demangle(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return QString::fromUtf8(status == 0 && name ? name.get() : mangled);
}

}  // namespace

QString ExceptionMessage(std::exception_ptr failure) {
  std::vector<QString> chain;
  if (failure) CollectChain(failure, chain);
  if (chain.empty()) return {};
  if (chain.size() > 1 && !chain.back().isEmpty()) return chain.back();
  return chain.front();
}

QString ExceptionKind(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Exception& e) {
    return QString::fromLatin1(e.ClassName());
  } catch (const std::exception& e) {
    return Demangle(typeid(e).name());
  } catch (...) {
    return QStringLiteral("Exception");
  }
}

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back() > QChar(u'.')) return message + u'.';
  return message;
}
