#include "service/http/replyreader.h"

#include "service/http/httperrors.h"

namespace {

QString AsciiLine(const QByteArray& bytes) {
  QString text(bytes.size(), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    *out++ = QChar(code > 0x7F ? u'?' : char16_t(code));
  }
  return text;
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

bool IsClose(const QString& value) {
  return value.trimmed().compare(QLatin1String("close"), Qt::CaseInsensitive) == 0;
}

// A chunk-size line: hexadecimal before any ";"; anything else counts as 0.
qint64 ChunkSize(const QByteArray& line) {
  const qsizetype semicolon = line.indexOf(';');
  const QByteArray digits = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
  bool ok = false;
  const qint64 size = digits.toLongLong(&ok, 16);
  return ok && size > 0 ? size : 0;
}

}  // namespace

QString TReplyHead::Value(QLatin1String name) const {
  for (const QString& line : headerLines) {
    const qsizetype colon = line.indexOf(u':');
    if (colon >= 0 &&
        QStringView(line).left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
      return line.mid(colon + 1).trimmed();
    }
  }
  return {};
}

QStringList TReplyHead::Values(QLatin1String name) const {
  QStringList values;
  for (const QString& line : headerLines) {
    const qsizetype colon = line.indexOf(u':');
    if (colon >= 0 &&
        QStringView(line).left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
      values.append(line.mid(colon + 1).trimmed());
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
  bool ok = false;
  const qint64 length = head.Value(QLatin1String("Content-Length")).toLongLong(&ok);
  fields.contentLength = ok && length >= 0 ? length : -1;
  fields.chunked = head.Value(QLatin1String("Transfer-Encoding"))
                       .contains(QLatin1String("chunked"), Qt::CaseInsensitive);
  fields.closeConnection = IsClose(head.Value(QLatin1String("Connection"))) ||
                           IsClose(head.Value(QLatin1String("Proxy-Connection")));
  fields.location = head.Value(QLatin1String("Location"));
  return fields;
}

TReplyReader::TReplyReader(TByteSource& source, TWorkProgress& progress)
    : source_(source), progress_(progress) {
  // Room for a block being filled and the next read, so that a body never reallocates.
  buffer_.reserve(4 * kReceiveBlock);
}

bool TReplyReader::ReceiveOnce() {
  if (closed_) return false;
  // Keep the buffer small: what was taken goes once the next read would not fit behind it.
  if (start_ > 0 &&
      (start_ == buffer_.size() || buffer_.capacity() - buffer_.size() < kReceiveBlock)) {
    buffer_.remove(0, start_);
    start_ = 0;
  }
  const qsizetype used = buffer_.size();
  buffer_.resize(used + kReceiveBlock);
  qsizetype received = 0;
  try {
    received = source_.Receive(buffer_.data() + used, kReceiveBlock);
  } catch (...) {
    buffer_.resize(used);
    throw;
  }
  buffer_.resize(used + received);
  if (received == 0) closed_ = true;
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
      if (length > kMaxLineLength) {
        throw EHttpReplyError(QString::fromLatin1(kMaxLineLengthExceeded));
      }
      line = buffer_.mid(start_, length);
      start_ += taken;
      scanned_ = 0;
      progress_.Work(wmRead, taken);
      return true;
    }
    scanned_ = Available();
    // No LF within the longest line a reply may hold: fail now rather than read on.
    if (scanned_ > kMaxLineLength + kLineEndSlack) {
      throw EHttpReplyError(QString::fromLatin1(kMaxLineLengthExceeded));
    }
    if (!ReceiveOnce()) {
      // The peer closed: what it sent of the line is the line.
      if (Available() == 0) return false;
      const qsizetype taken = Available();
      if (taken > kMaxLineLength)
        throw EHttpReplyError(QString::fromLatin1(kMaxLineLengthExceeded));
      line = buffer_.mid(start_, taken);
      start_ += taken;
      scanned_ = 0;
      progress_.Work(wmRead, taken);
      return true;
    }
  }
}

void TReplyReader::AddHeaderLine(TReplyHead& head, const QByteArray& line) {
  headerBytes_ += line.size();
  if (++headerLines_ > kMaxHeaderLines || headerBytes_ > kMaxHeaderBlockBytes) {
    throw EHttpReplyError(QString::fromLatin1(kReplyHeaderTooLarge));
  }
  const QString text = AsciiLine(line);
  if ((line.startsWith(' ') || line.startsWith('\t')) && !head.headerLines.isEmpty()) {
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
  if (!ReadLine(line)) throw EConnClosedGracefully();
  headerBytes_ = line.size();
  head.statusLine = AsciiLine(line);
  head.statusCode = StatusCodeOf(head.statusLine);
  while (ReadLine(line) && !line.isEmpty()) AddHeaderLine(head, line);
  return head;
}

bool TReplyReader::WaitForBody(int ms) {
  if (Available() > 0 || closed_) return Available() > 0;
  return source_.WaitReadable(ms);
}

bool TReplyReader::ReadCounted(qint64 size, TByteSink& sink) {
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
    if (got < want) return false;  // the peer closed early
  }
  return true;
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
    const bool complete = ReadCounted(size, sink);
    progress_.End(wmRead);
    if (!complete) throw EConnClosedGracefully();
    if (!ReadLine(line)) throw EConnClosedGracefully();
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
      sink.Reserve(fields.contentLength);
      progress_.Begin(wmRead, fields.contentLength);
      ReadCounted(fields.contentLength, sink);  // an early close is no failure
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
