#include "service/http/bytestream.h"

#include <QBuffer>
#include <QFileDevice>
#include <QIODevice>

#include "service/http/httperrors.h"

TDeviceSink::TDeviceSink(QIODevice& device) : device_(device), start_(device.pos()) {}

void TDeviceSink::Write(const char* data, qsizetype size) {
  if (size <= 0) return;
  if (device_.write(data, size) != size) throw Exception(device_.errorString());
  written_ += size;
}

void TDeviceSink::Finish() {
  const qint64 end = start_ + written_;
  if (device_.size() <= end) return;
  if (auto* file = qobject_cast<QFileDevice*>(&device_)) {
    file->flush();
    // resize() may move the position; leave it after the last byte written.
    file->resize(end);
    file->seek(end);
  } else if (auto* buffer = qobject_cast<QBuffer*>(&device_)) {
    buffer->buffer().truncate(end);
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
