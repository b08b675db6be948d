#include "service/http/charsets.h"

#include <iconv.h>

#include <QRegularExpression>
#include <QStringDecoder>
#include <cerrno>
#include <vector>

namespace {

enum class TDecoder { Ascii, Utf8, Iconv };

// Stand-ins for the iconv name of the charsets whose byte order the body's mark decides.
constexpr char kUtf16ByMark[] = "UTF-16";
constexpr char kUtf32ByMark[] = "UTF-32";

struct TCharset {
  const char* name;  // registered name or alias, lower case
  TDecoder decoder;
  const char* iconvName;
};

// Registered character-set names and aliases this client understands, with the iconv
// conversion behind each. "UTF-16" and "UTF-32" name no byte order: the body's mark decides, and
// without one they are read little-endian, as the product's users' text files are. The mark
// itself still comes through as U+FEFF.
constexpr TCharset kCharsets[] = {
    {"us-ascii", TDecoder::Ascii, nullptr},
    {"ascii", TDecoder::Ascii, nullptr},
    {"us", TDecoder::Ascii, nullptr},
    {"iso-ir-6", TDecoder::Ascii, nullptr},
    {"ansi_x3.4-1968", TDecoder::Ascii, nullptr},
    {"ansi_x3.4-1986", TDecoder::Ascii, nullptr},
    {"iso_646.irv:1991", TDecoder::Ascii, nullptr},
    {"iso646-us", TDecoder::Ascii, nullptr},
    {"ibm367", TDecoder::Ascii, nullptr},
    {"cp367", TDecoder::Ascii, nullptr},
    {"csascii", TDecoder::Ascii, nullptr},
    {"utf-8", TDecoder::Utf8, nullptr},
    {"utf8", TDecoder::Utf8, nullptr},
    {"csutf8", TDecoder::Utf8, nullptr},
    {"iso-8859-1", TDecoder::Iconv, "ISO-8859-1"},
    {"iso_8859-1", TDecoder::Iconv, "ISO-8859-1"},
    {"iso_8859-1:1987", TDecoder::Iconv, "ISO-8859-1"},
    {"latin1", TDecoder::Iconv, "ISO-8859-1"},
    {"l1", TDecoder::Iconv, "ISO-8859-1"},
    {"iso-ir-100", TDecoder::Iconv, "ISO-8859-1"},
    {"ibm819", TDecoder::Iconv, "ISO-8859-1"},
    {"cp819", TDecoder::Iconv, "ISO-8859-1"},
    {"csisolatin1", TDecoder::Iconv, "ISO-8859-1"},
    {"iso-8859-2", TDecoder::Iconv, "ISO-8859-2"},
    {"latin2", TDecoder::Iconv, "ISO-8859-2"},
    {"iso-8859-5", TDecoder::Iconv, "ISO-8859-5"},
    {"iso-8859-7", TDecoder::Iconv, "ISO-8859-7"},
    {"iso-8859-9", TDecoder::Iconv, "ISO-8859-9"},
    {"latin5", TDecoder::Iconv, "ISO-8859-9"},
    {"iso-8859-15", TDecoder::Iconv, "ISO-8859-15"},
    {"latin-9", TDecoder::Iconv, "ISO-8859-15"},
    {"windows-1250", TDecoder::Iconv, "CP1250"},
    {"windows-1251", TDecoder::Iconv, "CP1251"},
    {"windows-1252", TDecoder::Iconv, "CP1252"},
    {"windows-1253", TDecoder::Iconv, "CP1253"},
    {"windows-1254", TDecoder::Iconv, "CP1254"},
    {"windows-1257", TDecoder::Iconv, "CP1257"},
    {"ibm437", TDecoder::Iconv, "CP437"},
    {"cp437", TDecoder::Iconv, "CP437"},
    {"ibm850", TDecoder::Iconv, "CP850"},
    {"cp850", TDecoder::Iconv, "CP850"},
    {"ibm860", TDecoder::Iconv, "CP860"},
    {"cp860", TDecoder::Iconv, "CP860"},
    {"koi8-r", TDecoder::Iconv, "KOI8-R"},
    {"koi8-u", TDecoder::Iconv, "KOI8-U"},
    {"shift_jis", TDecoder::Iconv, "SHIFT_JIS"},
    {"euc-jp", TDecoder::Iconv, "EUC-JP"},
    {"iso-2022-jp", TDecoder::Iconv, "ISO-2022-JP"},
    {"euc-kr", TDecoder::Iconv, "EUC-KR"},
    {"gb2312", TDecoder::Iconv, "GB2312"},
    {"gbk", TDecoder::Iconv, "GBK"},
    {"gb18030", TDecoder::Iconv, "GB18030"},
    {"big5", TDecoder::Iconv, "BIG5"},
    {"utf-16", TDecoder::Iconv, kUtf16ByMark},
    {"utf-16le", TDecoder::Iconv, "UTF-16LE"},
    {"utf-16be", TDecoder::Iconv, "UTF-16BE"},
    {"utf-32", TDecoder::Iconv, kUtf32ByMark},
    {"utf-32le", TDecoder::Iconv, "UTF-32LE"},
    {"utf-32be", TDecoder::Iconv, "UTF-32BE"},
};

const TCharset* FindCharset(const QString& name) {
  const QString key = name.trimmed();
  for (const auto& charset : kCharsets) {
    if (key.compare(QLatin1String(charset.name), Qt::CaseInsensitive) == 0) return &charset;
  }
  return nullptr;
}

// iconv into UTF-16; a byte sequence the charset does not have becomes U+FFFD.
QString DecodeIconv(const QByteArray& body, const char* iconvName) {
  iconv_t converter = iconv_open("UTF-16LE", iconvName);
  if (converter == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(body);
  std::vector<char16_t> units(static_cast<size_t>(body.size()) * 2 + 4);
  char* in = const_cast<char*>(body.constData());
  size_t inLeft = static_cast<size_t>(body.size());
  size_t produced = 0;
  while (inLeft > 0) {
    char* out = reinterpret_cast<char*>(units.data() + produced);
    size_t outLeft = (units.size() - produced) * sizeof(char16_t);
    const size_t before = outLeft;
    const size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    produced += (before - outLeft) / sizeof(char16_t);
    if (result != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      units.resize(units.size() * 2);
    } else {
      // EILSEQ or a sequence cut off at the end: one replacement character per bad byte.
      if (produced == units.size()) units.resize(units.size() * 2);
      units[produced++] = u'\uFFFD';
      ++in;
      --inLeft;
    }
  }
  iconv_close(converter);
  return QString(reinterpret_cast<const QChar*>(units.data()), static_cast<qsizetype>(produced));
}

}  // namespace

QString DecodeAscii(const QByteArray& bytes) {
  QString text(bytes.size(), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    *out++ = QChar(code > 0x7F ? u'?' : char16_t(code));
  }
  return text;
}

QString DefaultCharsetFor(const QString& mediaType) {
  const QString type = mediaType.toLower();
  if (!type.startsWith(QLatin1String("text/")) || type.size() == 5) return {};
  const QString subtype = type.mid(5);
  if (subtype == QLatin1String("xml") || subtype == QLatin1String("xml-external-parsed-entity") ||
      subtype.endsWith(QLatin1String("+xml"))) {
    return QStringLiteral("us-ascii");
  }
  return QStringLiteral("ISO-8859-1");
}

bool IsSelfDescribingXml(const QString& mediaType) {
  const QString type = mediaType.toLower();
  if (type == QLatin1String("application/xml") ||
      type == QLatin1String("application/xml-external-parsed-entity") ||
      type == QLatin1String("application/xml-dtd")) {
    return true;
  }
  const qsizetype slash = type.indexOf(u'/');
  return slash > 0 && !type.startsWith(QLatin1String("text/")) &&
         type.mid(slash + 1).endsWith(QLatin1String("+xml"));
}

QString XmlDocumentCharset(const QByteArray& body) {
  if (body.startsWith("\xEF\xBB\xBF")) return QStringLiteral("utf-8");
  if (body.startsWith(QByteArray("\x00\x00\xFE\xFF", 4))) return QStringLiteral("utf-32be");
  if (body.startsWith(QByteArray("\xFF\xFE\x00\x00", 4))) return QStringLiteral("utf-32le");
  if (body.startsWith("\xFE\xFF")) return QStringLiteral("utf-16be");
  if (body.startsWith("\xFF\xFE")) return QStringLiteral("utf-16le");
  if (body.startsWith(QByteArray("<\x00?\x00", 4))) return QStringLiteral("utf-16le");
  if (body.startsWith(QByteArray("\x00<\x00?", 4))) return QStringLiteral("utf-16be");
  if (body.startsWith("<?xml")) {
    // The declaration is ASCII and short; only its first line is looked at.
    const qsizetype end = body.indexOf("?>");
    const QString declaration = QString::fromLatin1(body.left(end < 0 ? 256 : end));
    static const QRegularExpression encoding(
        QStringLiteral("\\sencoding\\s*=\\s*[\"']([A-Za-z][A-Za-z0-9._:-]*)[\"']"));
    const QRegularExpressionMatch match = encoding.match(declaration);
    if (match.hasMatch()) return match.captured(1);
  }
  return QStringLiteral("utf-8");
}

QString DecodeText(const QByteArray& body, const QString& charset) {
  const TCharset* known = charset.isEmpty() ? nullptr : FindCharset(charset);
  if (known == nullptr) return QString::fromLatin1(body);
  switch (known->decoder) {
    case TDecoder::Ascii:
      return DecodeAscii(body);
    case TDecoder::Utf8: {
      // Unlike QString::fromUtf8, keeps a leading byte-order mark as the text's first character.
      QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
      return decoder.decode(body);
    }
    case TDecoder::Iconv:
      if (known->iconvName == kUtf16ByMark) {
        return DecodeIconv(body, body.startsWith("\xFE\xFF") ? "UTF-16BE" : "UTF-16LE");
      }
      if (known->iconvName == kUtf32ByMark) {
        return DecodeIconv(
            body, body.startsWith(QByteArray("\x00\x00\xFE\xFF", 4)) ? "UTF-32BE" : "UTF-32LE");
      }
      return DecodeIconv(body, known->iconvName);
  }
  return QString::fromLatin1(body);
}
