#include "service/http/replyreader.h"

#include <cstring>
#include <limits>

#include "service/http/charsets.h"
#include "service/http/httperrors.h"

namespace {

[[noreturn]] void Refuse(const char* text) {
  throw EHttpReplyError(QString::fromLatin1(text));
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsDigit(QChar c) {
  return c >= u'0' && c <= u'9';
}

// "HTTP/1.<digit>" and then the end or a blank; anything else is not a reply we can frame.
bool IsHttp1StatusLine(const QByteArray& line) {
  return line.size() >= 8 && line.startsWith("HTTP/1.") && line.at(7) >= '0' && line.at(7) <= '9' &&
         (line.size() == 8 || IsBlank(line.at(8)));
}

int StatusCodeOf(const QString& statusLine) {
  const QStringList words = statusLine.split(u' ', Qt::SkipEmptyParts);
  if (words.size() < 2) return -1;
  bool ok = false;
  const int code = words.at(1).toInt(&ok);
  return ok ? code : -1;
}

QString Unquoted(QString value) {
  value = value.trimmed();
  if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"')) {
    value = value.mid(1, value.size() - 2);
  }
  return value;
}

// The comma-separated tokens of every line of a list header, trimmed and in lower case.
QStringList Tokens(const TReplyHead& head, QLatin1String name) {
  QStringList tokens;
  for (const QString& value : head.Values(name)) {
    for (const QString& token : value.split(u',', Qt::SkipEmptyParts)) {
      const QString trimmed = token.trimmed().toLower();
      if (!trimmed.isEmpty()) tokens.append(trimmed);
    }
  }
  return tokens;
}

// A decimal length: digits only, and few enough that it fits.
qint64 LengthOf(const QString& text) {
  constexpr int kMaxDigits = 18;
  if (text.isEmpty() || text.size() > kMaxDigits) Refuse(kInvalidContentLength);
  qint64 length = 0;
  for (const QChar c : text) {
    if (!IsDigit(c)) Refuse(kInvalidContentLength);
    length = length * 10 + (c.unicode() - u'0');
  }
  return length;
}

// A chunk-size line: hexadecimal digits before any ";" (its extensions), blanks around them.
qint64 ChunkSize(const QByteArray& line) {
  const qsizetype semicolon = line.indexOf(';');
  const QByteArray digits = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
  if (digits.isEmpty()) Refuse(kInvalidChunkSize);
  quint64 size = 0;
  for (const char c : digits) {
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else {
      Refuse(kInvalidChunkSize);
    }
    if (size > static_cast<quint64>(std::numeric_limits<qint64>::max() >> 4)) {
      Refuse(kInvalidChunkSize);
    }
    size = size * 16 + static_cast<quint64>(value);
  }
  return static_cast<qint64>(size);
}

// The header name of a line: what stands before its colon, if that is a name at all.
QStringView NameOf(const QString& line) {
  const qsizetype colon = line.indexOf(u':');
  if (colon <= 0) return {};
  const QStringView name = QStringView(line).left(colon);
  // "Name :" is a malformed line, not the header "Name": it must not frame a body.
  if (name.back() == u' ' || name.back() == u'\t') return {};
  return name;
}

}  // namespace

bool HasNoBody(int statusCode) {
  return (statusCode >= 100 && statusCode <= 199) || statusCode == 204 || statusCode == 304;
}

bool IsInterim(int statusCode) {
  return statusCode >= 100 && statusCode <= 199 && statusCode != 101;
}

QString TReplyHead::Value(QLatin1String name) const {
  for (const QString& line : headerLines) {
    if (NameOf(line).compare(name, Qt::CaseInsensitive) == 0) {
      return line.mid(line.indexOf(u':') + 1).trimmed();
    }
  }
  return {};
}

QStringList TReplyHead::Values(QLatin1String name) const {
  QStringList values;
  for (const QString& line : headerLines) {
    if (NameOf(line).compare(name, Qt::CaseInsensitive) == 0) {
      values.append(line.mid(line.indexOf(u':') + 1).trimmed());
    }
  }
  return values;
}

TReplyFields ParseFields(const TReplyHead& head) {
  TReplyFields fields;
  const QStringList contentType = head.Value(QLatin1String("Content-Type")).split(u';');
  fields.mediaType = contentType.first().trimmed();
  for (qsizetype i = 1; i < contentType.size(); ++i) {
    const QString& parameter = contentType.at(i);
    const qsizetype equals = parameter.indexOf(u'=');
    if (equals < 0) continue;
    if (parameter.left(equals).trimmed().compare(QLatin1String("charset"), Qt::CaseInsensitive) ==
        0) {
      fields.charset = Unquoted(parameter.mid(equals + 1));
      fields.hasCharset = true;
      break;
    }
  }

  const QStringList codings = Tokens(head, QLatin1String("Transfer-Encoding"));
  if (!codings.isEmpty()) {
    // A coded body is chunked when chunked is its last coding, else it runs to the close. Any
    // Content-Length beside it is ignored, and the connection is not trusted with another reply.
    fields.chunked = codings.last() == QLatin1String("chunked");
    fields.closeConnection =
        !fields.chunked || !head.Values(QLatin1String("Content-Length")).isEmpty();
  } else {
    // "5, 5" and two lines of 5 are one length; any difference is a reply we cannot frame.
    for (const QString& value : head.Values(QLatin1String("Content-Length"))) {
      for (const QString& item : value.split(u',')) {
        const qint64 length = LengthOf(item.trimmed());
        if (fields.contentLength >= 0 && fields.contentLength != length) {
          Refuse(kConflictingContentLength);
        }
        fields.contentLength = length;
      }
    }
  }

  const QStringList connection =
      Tokens(head, QLatin1String("Connection")) + Tokens(head, QLatin1String("Proxy-Connection"));
  if (connection.contains(QLatin1String("close"))) fields.closeConnection = true;
  if (head.minorVersion == 0 && !connection.contains(QLatin1String("keep-alive"))) {
    fields.closeConnection = true;
  }
  fields.location = head.Value(QLatin1String("Location"));
  return fields;
}

TReplyReader::TReplyReader(TByteSource& source, TWorkProgress& progress)
    : source_(source), progress_(progress) {
  // Room for one read and what a line or block may leave behind, so a body never reallocates.
  buffer_.reserve(2 * kReceiveBytes);
}

bool TReplyReader::ReceiveOnce() {
  if (closed_) return false;
  // Keep the buffer small: what was taken goes once the next read would not fit behind it.
  if (start_ > 0 &&
      (start_ == buffer_.size() || buffer_.capacity() - buffer_.size() < kReceiveBytes)) {
    buffer_.remove(0, start_);
    start_ = 0;
  }
  const qsizetype used = buffer_.size();
  buffer_.resize(used + kReceiveBytes);
  qsizetype received = 0;
  try {
    received = source_.Receive(buffer_.data() + used, kReceiveBytes);
  } catch (...) {
    buffer_.resize(used);
    throw;
  }
  buffer_.resize(used + received);
  if (received == 0) closed_ = true;
  if (received > 0) receivedAny_ = true;
  return received > 0;
}

void TReplyReader::Fill(qsizetype want) {
  while (Available() < want && ReceiveOnce()) {
  }
}

void TReplyReader::Take(qsizetype size, TByteSink& sink) {
  sink.Write(buffer_.constData() + start_, size);
  start_ += size;
  scanned_ = 0;
  progress_.Work(wmRead, size);
}

bool TReplyReader::ReadLine(QByteArray& line) {
  for (;;) {
    const qsizetype lf = buffer_.indexOf('\n', start_ + scanned_);
    if (lf >= 0) {
      const qsizetype taken = lf - start_ + 1;
      qsizetype length = lf - start_;
      if (length > 0 && buffer_.at(lf - 1) == '\r') --length;
      if (length > kMaxLineLength) Refuse(kMaxLineLengthExceeded);
      line = buffer_.mid(start_, length);
      start_ += taken;
      scanned_ = 0;
      progress_.Work(wmRead, taken);
      return true;
    }
    scanned_ = Available();
    // No LF within the longest line a reply may hold: fail now rather than read on.
    if (scanned_ > kMaxLineLength + kLineEndSlack) Refuse(kMaxLineLengthExceeded);
    // The peer closed before the line end: a line cut off is no line.
    if (!ReceiveOnce()) return false;
  }
}

void TReplyReader::AddHeaderLine(TReplyHead& head, const QByteArray& line) {
  headerBytes_ += line.size();
  if (++headerLines_ > kMaxHeaderLines || headerBytes_ > kMaxHeaderBlockBytes) {
    Refuse(kReplyHeaderTooLarge);
  }
  const QString text = DecodeAscii(line);
  if (!line.isEmpty() && IsBlank(line.front())) {
    // A continuation right after the status line continues nothing: the head is not a head.
    if (head.headerLines.isEmpty()) Refuse(kMalformedReplyHeader);
    // An old-style continuation belongs to the line before it.
    head.headerLines.last() += u' ' + text.trimmed();
    return;
  }
  head.headerLines.append(text);
}

TReplyHead TReplyReader::ReadHead() {
  TReplyHead head;
  headerBytes_ = 0;
  headerLines_ = 0;
  QByteArray line;
  if (!ReadLine(line)) {
    if (Available() > 0) Refuse(kReplyHeaderCutOff);
    throw EConnClosedGracefully();
  }
  if (!IsHttp1StatusLine(line)) Refuse(kInvalidStatusLine);
  headerBytes_ = line.size();
  head.statusLine = DecodeAscii(line);
  head.statusCode = StatusCodeOf(head.statusLine);
  head.minorVersion = line.at(7) - '0';
  for (;;) {
    if (!ReadLine(line)) Refuse(kReplyHeaderCutOff);
    if (line.isEmpty()) break;
    AddHeaderLine(head, line);
  }
  return head;
}

bool TReplyReader::WaitForBody(int ms) {
  if (Available() > 0 || closed_) return Available() > 0;
  return source_.WaitReadable(ms);
}

qint64 TReplyReader::ReadCounted(qint64 size, TByteSink& sink) {
  qint64 remaining = size;
  const qsizetype early = static_cast<qsizetype>(std::min<qint64>(Available(), remaining));
  if (early > 0) {
    Take(early, sink);
    remaining -= early;
  }
  while (remaining > 0) {
    const qsizetype want = static_cast<qsizetype>(std::min<qint64>(kReceiveBlock, remaining));
    try {
      Fill(want);
    } catch (...) {
      // A failed read still delivers what arrived of the block.
      const qsizetype got = std::min(Available(), want);
      if (got > 0) Take(got, sink);
      throw;
    }
    const qsizetype got = std::min(Available(), want);
    if (got > 0) Take(got, sink);
    remaining -= got;
    if (got < want) break;  // the peer closed early
  }
  return size - remaining;
}

void TReplyReader::ReadUntilClose(TByteSink& sink) {
  if (Available() > 0) Take(std::min(Available(), kReceiveBlock), sink);
  for (;;) {
    try {
      Fill(kReceiveBlock);
    } catch (...) {
      if (Available() > 0) Take(std::min(Available(), kReceiveBlock), sink);
      throw;
    }
    if (Available() == 0) return;
    Take(std::min(Available(), kReceiveBlock), sink);
  }
}

void TReplyReader::ReadChunked(TReplyHead& head, TByteSink& sink) {
  QByteArray line;
  for (;;) {
    if (!ReadLine(line)) throw EConnClosedGracefully();
    const qint64 size = ChunkSize(line);
    if (size == 0) break;
    progress_.Begin(wmRead, size);
    const bool complete = ReadCounted(size, sink) == size;
    progress_.End(wmRead);
    if (!complete) throw EConnClosedGracefully();
    if (!ReadLine(line)) throw EConnClosedGracefully();
    // The data must end where its size says; more would be a body we cannot frame.
    if (!line.isEmpty()) Refuse(kChunkTooLong);
  }
  for (;;) {
    if (!ReadLine(line)) throw EConnClosedGracefully();
    if (line.isEmpty()) break;
    AddHeaderLine(head, line);
  }
}

void TReplyReader::ReadBody(const TReplyFields& fields, TReplyHead& head, TByteSink& sink) {
  if (!fields.chunked && fields.contentLength == 0) return;
  try {
    if (fields.chunked) {
      progress_.Begin(wmRead, 0);
      ReadChunked(head, sink);
    } else if (fields.contentLength > 0) {
      progress_.Begin(wmRead, fields.contentLength);
      const qint64 received = ReadCounted(fields.contentLength, sink);
      if (received < fields.contentLength) {
        throw EHttpBodyIncomplete(received, fields.contentLength);
      }
    } else {
      progress_.Begin(wmRead, 0);
      ReadUntilClose(sink);
    }
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    try {
      progress_.EndAll(wmRead);
    } catch (...) {
      // The first failure is the one the caller hears about.
    }
    sink.Finish();
    std::rethrow_exception(failure);
  }
  progress_.End(wmRead);
  sink.Finish();
}
