#pragma once

#include <QByteArray>
#include <QtGlobal>

class QIODevice;

// Where the transfer's bytes come from: the TCP connection, or a script in the fuzzer.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // Reads up to `max` bytes; 0 means the peer closed the connection. Throws on failure.
  virtual qsizetype Receive(char* data, qsizetype max) = 0;
  // Whether bytes (or the peer's close) arrive within `ms` milliseconds.
  [[nodiscard]] virtual bool WaitReadable(int ms) = 0;
};

// Where a reply body goes. Get(url, sink) writes from the sink's position at the call.
class TByteSink {
 public:
  virtual ~TByteSink() = default;
  virtual void Write(const char* data, qsizetype size) = 0;
  // The body is over, also after a failure: a target left longer than what was written (an
  // older, longer file) is cut back to the last byte written.
  virtual void Finish() {}
};

// A QIODevice target (QFile, QBuffer, ...). It grows only with the bytes that arrive, never by
// what a server announces, so a hostile length costs nothing and a program that dies mid-transfer
// leaves no file longer than what came. A write the device refuses (a full disk) fails the call
// with the device's own text.
class TDeviceSink : public TByteSink {
 public:
  explicit TDeviceSink(QIODevice& device);
  void Write(const char* data, qsizetype size) override;
  void Finish() override;

 private:
  QIODevice& device_;
  qint64 start_;
  qint64 written_ = 0;
};

// Counts the bytes and keeps none.
class TDiscardSink : public TByteSink {
 public:
  void Write(const char* data, qsizetype size) override;
  [[nodiscard]] qint64 Count() const { return count_; }

 private:
  qint64 count_ = 0;
};

// Collects a body in memory as it arrives, to at most `limit` bytes. Past the limit it either fails
// the call (the text form, whose caller wants the whole body) or drops the rest (an error page).
class TMemorySink : public TByteSink {
 public:
  enum class TOverflow { Fail, Drop };
  TMemorySink(qsizetype limit, TOverflow overflow) : limit_(limit), overflow_(overflow) {}
  void Write(const char* data, qsizetype size) override;
  [[nodiscard]] const QByteArray& Data() const { return data_; }

 private:
  // Makes room for `size` more bytes: the capacity doubles with what has arrived (never past the
  // limit, never by what a server announces), and large bodies get their memory ahead in bulk.
  void MakeRoom(qsizetype size);
  // Makes the memory of `block` resident ahead of the writes, up to a stretch past `upTo`.
  void Prepare(const QByteArray& block, qsizetype upTo);

  QByteArray data_;
  qsizetype limit_;
  TOverflow overflow_;
  // Bytes from the start of data_ whose memory has been made resident ahead of the writes.
  qsizetype prepared_ = 0;
};
