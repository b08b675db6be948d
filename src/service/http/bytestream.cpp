#include "service/http/bytestream.h"

#include <QBuffer>
#include <QFileDevice>
#include <QIODevice>

#include "service/http/httperrors.h"

TDeviceSink::TDeviceSink(QIODevice& device) : device_(device), start_(device.pos()) {}

bool TDeviceSink::Resize(qint64 size) {
  if (auto* file = qobject_cast<QFileDevice*>(&device_)) {
    // resize() may move the position; the body goes on where it left off.
    const qint64 pos = file->pos();
    const bool ok = file->resize(size);
    if (file->pos() != pos) file->seek(pos);
    return ok;
  }
  if (auto* buffer = qobject_cast<QBuffer*>(&device_)) {
    if (size < 0 || size > std::numeric_limits<qsizetype>::max()) return false;
    buffer->buffer().resize(size);
    return true;
  }
  return false;
}

void TDeviceSink::Write(const char* data, qsizetype size) {
  if (size <= 0) return;
  if (device_.write(data, size) != size) throw Exception(device_.errorString());
  written_ += size;
}

void TDeviceSink::Reserve(qint64 size) {
  // Only a growth; a longer target is cut back by Finish(). A refused extension (a size the file
  // system cannot hold) is no failure: the body is still written byte by byte.
  if (size <= 0 || size > std::numeric_limits<qint64>::max() - start_) return;
  if (device_.size() < start_ + size) reserved_ = Resize(start_ + size) || reserved_;
}

void TDeviceSink::Finish() {
  const qint64 end = start_ + written_;
  if (device_.size() > end) {
    // Cut back only what the body extended, or what a shorter body leaves of a longer file.
    if (auto* file = qobject_cast<QFileDevice*>(&device_)) file->flush();
    Resize(end);
  }
}

void TDiscardSink::Write(const char* data, qsizetype size) {
  Q_UNUSED(data)
  count_ += size;
}

void TMemorySink::Write(const char* data, qsizetype size) {
  const qsizetype room = limit_ - data_.size();
  if (size > room) {
    if (overflow_ == TOverflow::Fail)
      throw EHttpReplyError(QString::fromLatin1(kReplyBodyTooLarge));
    data_.append(data, room);
    return;
  }
  data_.append(data, size);
}
