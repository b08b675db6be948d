#include "principal/rdp/session/clipboard/cliptext.h"

#include <iconv.h>

#include <cerrno>

#include <QList>
#include <cstring>

#include "principal/rdp/session/clipboard/cliplimits.h"

namespace {

QString LinesToLocal(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

// One offset header line ("StartHTML:0000000105"); -1 when absent or not a plain number.
qint64 HeaderOffset(const QByteArray& header, const QByteArray& key) {
  const QByteArray prefix = key + ':';
  qsizetype at = 0;
  while ((at = header.indexOf(prefix, at)) >= 0) {
    // Only at the start of a line, so "EndFragment" is never found inside "xEndFragment".
    if (at == 0 || header.at(at - 1) == '\n' || header.at(at - 1) == '\r') break;
    at += prefix.size();
  }
  if (at < 0) return -1;
  qsizetype end = at + prefix.size();
  while (end < header.size() && header.at(end) != '\r' && header.at(end) != '\n') ++end;
  bool ok = false;
  const QByteArray digits = header.mid(at + prefix.size(), end - at - prefix.size()).trimmed();
  if (digits.isEmpty() || digits.size() > 10) return -1;
  const qint64 value = digits.toLongLong(&ok);
  return ok && value >= 0 ? value : -1;
}

}  // namespace

QByteArray UnicodeTextFromLocal(const QString& text) {
  QString windows;
  windows.reserve(text.size() + text.size() / 16 + 1);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c == u'\n' && (i == 0 || text.at(i - 1) != u'\r')) windows += u'\r';
    windows += c;
  }
  QByteArray bytes;
  bytes.resize((windows.size() + 1) * 2);
  char* out = bytes.data();
  for (qsizetype i = 0; i < windows.size(); ++i) {
    const char16_t unit = windows.at(i).unicode();
    out[2 * i] = static_cast<char>(unit & 0xFF);
    out[2 * i + 1] = static_cast<char>(unit >> 8);
  }
  out[2 * windows.size()] = 0;
  out[2 * windows.size() + 1] = 0;
  return bytes;
}

std::optional<QString> LocalFromUnicodeText(const QByteArray& data) {
  if (static_cast<std::uint64_t>(data.size()) > kMaxClipDataBytes) return std::nullopt;
  const qsizetype units = data.size() / 2;
  QString text;
  text.reserve(units);
  const auto* in = reinterpret_cast<const unsigned char*>(data.constData());
  for (qsizetype i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(in[2 * i] | (in[2 * i + 1] << 8));
    if (unit == 0) break;
    text += QChar(unit);
  }
  return LinesToLocal(std::move(text));
}

std::optional<QString> LocalFromAnsiText(const QByteArray& data, bool oem) {
  if (static_cast<std::uint64_t>(data.size()) > kMaxClipDataBytes) return std::nullopt;
  QByteArray bytes = data;
  const qsizetype nul = bytes.indexOf('\0');
  if (nul >= 0) bytes.truncate(nul);
  iconv_t cd = iconv_open("UTF-8", oem ? "CP850" : "WINDOWS-1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return LinesToLocal(QString::fromLatin1(bytes));
  // Each byte of these code pages becomes at most three bytes of UTF-8.
  QByteArray out(bytes.size() * 3 + 4, Qt::Uninitialized);
  char* inPtr = bytes.data();
  size_t inLeft = static_cast<size_t>(bytes.size());
  char* outPtr = out.data();
  size_t outLeft = static_cast<size_t>(out.size());
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break;
    // A byte the code page leaves undefined: keep the text, mark the spot.
    ++inPtr;
    --inLeft;
    if (outLeft < 3) break;
    std::memcpy(outPtr, "\xEF\xBF\xBD", 3);
    outPtr += 3;
    outLeft -= 3;
  }
  iconv_close(cd);
  out.truncate(out.size() - static_cast<qsizetype>(outLeft));
  return LinesToLocal(QString::fromUtf8(out));
}

QByteArray HtmlFormatFromLocal(const QString& html) {
  static constexpr char kStartMarker[] = "<!--StartFragment-->";
  static constexpr char kEndMarker[] = "<!--EndFragment-->";
  QByteArray body = html.toUtf8();
  // A whole document keeps its own html and body; a bare fragment gets them around it.
  const qsizetype bodyOpen = body.indexOf("<body");
  const qsizetype bodyOpenEnd = bodyOpen >= 0 ? body.indexOf('>', bodyOpen) : -1;
  const qsizetype bodyClose = body.lastIndexOf("</body");
  if (bodyOpenEnd >= 0 && bodyClose > bodyOpenEnd) {
    body.insert(bodyClose, kEndMarker);
    body.insert(bodyOpenEnd + 1, kStartMarker);
  } else {
    body = QByteArray("<html><body>") + kStartMarker + body + kEndMarker + "</body></html>";
  }
  // Fixed-width numbers let the header's own length be known before its values are.
  const QByteArray header =
      "Version:0.9\r\nStartHTML:0000000000\r\nEndHTML:0000000000\r\n"
      "StartFragment:0000000000\r\nEndFragment:0000000000\r\n";
  const qsizetype startHtml = header.size();
  const qsizetype endHtml = startHtml + body.size();
  const qsizetype startFragment = startHtml + body.indexOf(kStartMarker) + qstrlen(kStartMarker);
  const qsizetype endFragment = startHtml + body.lastIndexOf(kEndMarker);
  const auto number = [](qsizetype v) { return QByteArray::number(v).rightJustified(10, '0'); };
  QByteArray out = "Version:0.9\r\nStartHTML:" + number(startHtml) +
                   "\r\nEndHTML:" + number(endHtml) + "\r\nStartFragment:" + number(startFragment) +
                   "\r\nEndFragment:" + number(endFragment) + "\r\n";
  out += body;
  out += '\0';
  return out;
}

std::optional<QString> LocalFromHtmlFormat(const QByteArray& data) {
  if (static_cast<std::uint64_t>(data.size()) > kMaxClipDataBytes) return std::nullopt;
  QByteArray bytes = data;
  const qsizetype nul = bytes.indexOf('\0');
  if (nul >= 0) bytes.truncate(nul);
  // The header ends where the document starts; it is short, so only its first part is searched.
  const QByteArray header = bytes.left(1024);
  const qint64 size = bytes.size();
  const qint64 startHtml = HeaderOffset(header, "StartHTML");
  const qint64 endHtml = HeaderOffset(header, "EndHTML");
  if (startHtml > 0 && endHtml > startHtml && endHtml <= size)
    return QString::fromUtf8(bytes.mid(startHtml, endHtml - startHtml));
  const qint64 startFragment = HeaderOffset(header, "StartFragment");
  const qint64 endFragment = HeaderOffset(header, "EndFragment");
  if (startFragment > 0 && endFragment >= startFragment && endFragment <= size)
    return QString::fromUtf8(bytes.mid(startFragment, endFragment - startFragment));
  return std::nullopt;
}
