#include <QString>
#include <cstdint>
#include <cstdlib>

#include "core/errors.h"
#include "login/signin.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

void SplitAndRead(const QString& reply) {
  const TLookupReply split = SplitLookupReply(reply);
  // The split loses nothing and cuts at the first ";" only.
  Check(!split.host.contains(u';'));
  if (reply.contains(u';'))
    Check(split.host + u';' + split.port == reply);
  else
    Check(split.host.isEmpty() && split.port == reply);
  try {
    (void)PortFromText(split.port);
  } catch (const Exception&) {
    // Not a number: the sign-in says so; anything else escaping would end the program.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reply's bytes as the transfer hands them over, read as UTF-8 and as Latin-1.
  const auto* bytes = reinterpret_cast<const char*>(data);
  const auto length = static_cast<qsizetype>(size);
  SplitAndRead(QString::fromUtf8(bytes, length));
  SplitAndRead(QString::fromLatin1(bytes, length));
  return 0;
}
