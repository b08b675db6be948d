#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "service/http/bytestream.h"
#include "service/http/workprogress.h"

// One read from the socket, and one block of a body, take at most this many bytes.
inline constexpr qsizetype kReceiveBlock = 32768;
// A status, header or chunk-size line may hold this many characters before its line end.
inline constexpr qsizetype kMaxLineLength = 16384;
// How far past that a line may run while its LF is still awaited: room for the CR and for a
// line end split across two reads, and nothing more, so an endless line is not waited out.
inline constexpr qsizetype kLineEndSlack = 64;
// The whole header block of one reply (status line, header lines and trailers): bytes and lines.
inline constexpr qsizetype kMaxHeaderBlockBytes = 1024 * 1024;
inline constexpr int kMaxHeaderLines = 1000;

// The head of one reply.
struct TReplyHead {
  QString statusLine;   // as received (bytes above 0x7F read as "?")
  int statusCode = -1;  // -1 when the status line has no number
  QStringList headerLines;

  // The value of the first header line with this name (letter case ignored), trimmed.
  [[nodiscard]] QString Value(QLatin1String name) const;
  [[nodiscard]] QStringList Values(QLatin1String name) const;
};

// The fields a reply's head gives.
struct TReplyFields {
  QString mediaType;
  QString charset;
  bool hasCharset = false;
  qint64 contentLength = -1;  // -1: no length
  bool chunked = false;
  bool closeConnection = false;  // Connection or Proxy-Connection is "close"
  QString location;
};

[[nodiscard]] TReplyFields ParseFields(const TReplyHead& head);

// Reads one reply from a connection: lines, heads and bodies, with the input buffer of bytes
// received and not yet taken. The body's progress notifications go to `progress`.
class TReplyReader {
 public:
  TReplyReader(TByteSource& source, TWorkProgress& progress);

  // A status line and its header block. Fails with "Connection Closed Gracefully." when the peer
  // closes before the status line; a close inside the header block ends the block.
  [[nodiscard]] TReplyHead ReadHead();

  // The body as `fields` frame it, into `sink` (chunked trailers are appended to `head`). On a
  // failure the bytes received are written first, the end notification comes and the sink is cut
  // back to what was written.
  void ReadBody(const TReplyFields& fields, TReplyHead& head, TByteSink& sink);

  // Whether body bytes are buffered already or arrive within `ms` milliseconds.
  [[nodiscard]] bool WaitForBody(int ms);
  // The peer has closed its side: the connection cannot carry another reply.
  [[nodiscard]] bool PeerClosed() const { return closed_; }

 private:
  [[nodiscard]] qsizetype Available() const { return buffer_.size() - start_; }
  // Receives once into the buffer; false when the peer has closed.
  bool ReceiveOnce();
  // Receives until `want` bytes are buffered or the peer has closed.
  void Fill(qsizetype want);
  // Takes `size` buffered bytes into the sink and counts them.
  void Take(qsizetype size, TByteSink& sink);
  // The next line without its line end; false when the peer closed before any byte of it.
  bool ReadLine(QByteArray& line);
  void AddHeaderLine(TReplyHead& head, const QByteArray& line);
  // Exactly `size` bytes (fewer only when the peer closes): first what is buffered, then blocks.
  bool ReadCounted(qint64 size, TByteSink& sink);
  void ReadUntilClose(TByteSink& sink);
  void ReadChunked(TReplyHead& head, TByteSink& sink);

  TByteSource& source_;
  TWorkProgress& progress_;
  QByteArray buffer_;
  qsizetype start_ = 0;
  qsizetype scanned_ = 0;  // bytes after start_ known to hold no LF
  bool closed_ = false;
  qsizetype headerBytes_ = 0;
  int headerLines_ = 0;
};
