#include "service/http/bytestream.h"

#include <QBuffer>
#include <QFileDevice>
#include <QIODevice>
#include <algorithm>

#include <sys/mman.h>

#include "service/http/httperrors.h"

namespace {

constexpr quintptr kPageBytes = 4096;
// A body's first memory; below kBulkMemoryFrom the writes fault in the few pages themselves.
constexpr qsizetype kFirstCapacity = 64 * 1024;
constexpr qsizetype kBulkMemoryFrom = 4 * 1024 * 1024;
// How far ahead of the writes memory is made resident: a few huge pages.
constexpr qsizetype kBulkStretch = 8 * 1024 * 1024;
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // Linux 5.14; older kernels refuse it and nothing changes
#endif

}  // namespace

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
  if (size <= 0) return;
  const qsizetype room = limit_ - data_.size();
  if (size > room) {
    if (overflow_ == TOverflow::Fail)
      throw EHttpReplyError(QString::fromLatin1(kReplyBodyTooLarge));
    size = room;
    if (size <= 0) return;
  }
  MakeRoom(size);
  data_.append(data, size);
}

void TMemorySink::MakeRoom(qsizetype size) {
  const qsizetype needed = data_.size() + size;
  if (needed > data_.capacity()) {
    // Doubling keeps the copies of a growing body to about its own size in all.
    const qsizetype capacity =
        std::min(std::max({needed, 2 * data_.size(), kFirstCapacity}), limit_);
    prepared_ = 0;
    if (capacity < kBulkMemoryFrom) {
      data_.reserve(capacity);
    } else {
      // A large body moves into a new block rather than being reallocated in place: moving
      // resident memory rewrites its page tables page by page, which costs more than the copy.
      QByteArray grown;
      grown.reserve(capacity);
      Prepare(grown, data_.size());
      grown.append(data_.constData(), data_.size());
      data_.swap(grown);
    }
  }
  if (data_.capacity() >= kBulkMemoryFrom && needed > prepared_) Prepare(data_, needed);
}

// New memory is made resident by the kernel one page fault per 4 KiB page, which on a busy
// (virtual) machine costs more than the network. A large body asks for huge pages and has the
// stretch the writes reach next made resident in one call. Both are advice: where the kernel
// refuses, the writes fault the pages in as before. Only one stretch past `upTo` is prepared, so
// the memory held stays the bytes received plus that stretch.
void TMemorySink::Prepare(const QByteArray& block, qsizetype upTo) {
  const auto base = reinterpret_cast<quintptr>(block.constData());
  const auto alignUp = [](quintptr at) { return (at + kPageBytes - 1) & ~(kPageBytes - 1); };
  const quintptr end = (base + block.capacity()) & ~(kPageBytes - 1);
  const quintptr first = alignUp(base);
  if (prepared_ == 0 && first < end) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
  const quintptr from = std::max(first, alignUp(base + prepared_));
  const quintptr to = std::min(end, alignUp(base + upTo + kBulkStretch));
  if (from < to) madvise(reinterpret_cast<void*>(from), to - from, kPopulateWrite);
  prepared_ = std::max(prepared_, static_cast<qsizetype>(to - base));
}
