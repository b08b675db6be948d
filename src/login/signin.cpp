#include "login/signin.h"

#include <QByteArray>
#include <limits>

#include "core/errors.h"

namespace {
constexpr char16_t kNotAValidInteger[] = u"'%1' is not a valid integer value";

int HexDigit(QChar c) {
  const char16_t u = c.unicode();
  if (u >= u'0' && u <= u'9') return u - u'0';
  if (u >= u'a' && u <= u'f') return u - u'a' + 10;
  if (u >= u'A' && u <= u'F') return u - u'A' + 10;
  return -1;
}
}  // namespace

QString StripDigits(const QString& text) {
  QString result;
  result.reserve(text.size());
  for (const QChar c : text) {
    if (c < u'0' || c > u'9') result.append(c);
  }
  return result;
}

QString EncodeUserKey(const QString& key) {
  return QString::fromLatin1(key.toUtf8().toPercentEncoding());
}

TLookupReply SplitLookupReply(const QString& reply) {
  const qsizetype separator = reply.indexOf(u';');
  if (separator < 0) return {QString(), reply};
  return {reply.left(separator), reply.mid(separator + 1)};
}

int PortFromText(const QString& text) {
  const auto fail = [&text]() -> int {
    throw Exception(QString::fromUtf16(kNotAValidInteger).arg(text));
  };
  qsizetype i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';

  bool hex = false;
  if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == u'0' &&
             (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return fail();

  if (hex) {
    // Up to 32 bits, read as the signed value they spell ($FFFFFFFF is -1).
    quint64 value = 0;
    for (; i < text.size(); ++i) {
      const int digit = HexDigit(text[i]);
      if (digit < 0) return fail();
      value = value * 16 + static_cast<quint64>(digit);
      if (value > std::numeric_limits<quint32>::max()) return fail();
    }
    const auto bits = static_cast<quint32>(value);
    return static_cast<qint32>(negative ? 0u - bits : bits);
  }

  qint64 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return fail();
    value = value * 10 + (text[i].unicode() - u'0');
    if (value > qint64(std::numeric_limits<qint32>::max()) + 1) return fail();
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<qint32>::max() || value < std::numeric_limits<qint32>::min()) {
    return fail();
  }
  return static_cast<int>(value);
}
