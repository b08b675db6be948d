#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "service/http/bytestream.h"
#include "service/http/workprogress.h"

// One block of a body: written once received whole, one progress notification each.
inline constexpr qsizetype kReceiveBlock = 32768;
// One read from the socket asks for this much, so that a fast download costs few system calls.
inline constexpr qsizetype kReceiveBytes = 256 * 1024;
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
  QString statusLine;    // as received (bytes above 0x7F read as "?")
  int statusCode = -1;   // -1 when the status line has no number
  int minorVersion = 1;  // HTTP/1.x
  QStringList headerLines;

  // The value of the first header line with exactly this name (letter case ignored), trimmed.
  // A line without a colon, or with blanks before it, names nothing and is never found.
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
  // The server ends the connection after this reply: "close" in its Connection (or
  // Proxy-Connection) list, HTTP/1.0 without "keep-alive", or a framing it cannot be kept after.
  bool closeConnection = false;
  QString location;
};

// Fails with EHttpReplyError when the head frames the body in a way that cannot be trusted
// (differing or invalid Content-Length values).
[[nodiscard]] TReplyFields ParseFields(const TReplyHead& head);

// Whether a reply with this status has no body whatever its head says (1xx, 204, 304).
[[nodiscard]] bool HasNoBody(int statusCode);
// An interim reply that the final one follows on the same connection (1xx except 101).
[[nodiscard]] bool IsInterim(int statusCode);

// Reads one reply from a connection: lines, heads and bodies, with the input buffer of bytes
// received and not yet taken. The body's progress notifications go to `progress`.
class TReplyReader {
 public:
  TReplyReader(TByteSource& source, TWorkProgress& progress);

  // A status line and its header block. Fails with "Connection Closed Gracefully." when the peer
  // closes before the status line, and refuses a status line that is not HTTP/1.x, a header
  // block cut off by the close and a continuation line right after the status line.
  [[nodiscard]] TReplyHead ReadHead();

  // The body as `fields` frame it, into `sink` (chunked trailers are appended to `head`). On a
  // failure the bytes received are written first, the end notification comes and the sink is cut
  // back to what was written. A body shorter than its length fails with EHttpBodyIncomplete.
  void ReadBody(const TReplyFields& fields, TReplyHead& head, TByteSink& sink);

  // Whether body bytes are buffered already or arrive within `ms` milliseconds.
  [[nodiscard]] bool WaitForBody(int ms);
  // The peer has closed its side: the connection cannot carry another reply.
  [[nodiscard]] bool PeerClosed() const { return closed_; }
  // Whether any byte has come from the peer since the reader was made.
  [[nodiscard]] bool ReceivedAny() const { return receivedAny_; }

 private:
  [[nodiscard]] qsizetype Available() const { return buffer_.size() - start_; }
  // Receives once into the buffer; false when the peer has closed.
  bool ReceiveOnce();
  // Receives until `want` bytes are buffered or the peer has closed.
  void Fill(qsizetype want);
  // Takes `size` buffered bytes into the sink and counts them.
  void Take(qsizetype size, TByteSink& sink);
  // The next line without its line end; false when the peer closed before its line end.
  bool ReadLine(QByteArray& line);
  void AddHeaderLine(TReplyHead& head, const QByteArray& line);
  // Exactly `size` bytes (fewer only when the peer closes): first what is buffered, then blocks.
  // Returns how many arrived.
  qint64 ReadCounted(qint64 size, TByteSink& sink);
  void ReadUntilClose(TByteSink& sink);
  void ReadChunked(TReplyHead& head, TByteSink& sink);

  TByteSource& source_;
  TWorkProgress& progress_;
  QByteArray buffer_;
  qsizetype start_ = 0;
  qsizetype scanned_ = 0;  // bytes after start_ known to hold no LF
  bool closed_ = false;
  bool receivedAny_ = false;
  qsizetype headerBytes_ = 0;
  int headerLines_ = 0;
};
