#pragma once

// THttpTransfer: the product's HTTP/1.1 GET client (the `Http1` of the login and download
// windows). Every call blocks the calling thread until the reply is read or the call fails; each
// wait is bounded (kConnectTimeout, kReadTimeout).
//
//   Http1 = new THttpTransfer(this);                 // owned by the window, dies with it
//   Http1->Accept = QString::fromLatin1(kAcceptText);  // or kAcceptProgram for downloads
//   QString reply = Http1->Get(address);             // the body as text
//
//   QFile file;                                      // see CreateDownloadFile (platform)
//   Http1->OnWorkBegin = [this](THttpTransfer* sender, TWorkMode mode, qint64 countMax) {
//     Http1WorkBegin(sender, mode, countMax); };     // likewise OnWork and OnWorkEnd
//   Http1->Get(address, file);                       // the body into the file; throws on failure
//
// Failures are Exception subclasses whose Message() is the text the user is shown: the status
// line of a reply that is not a success (EHttpProtocolError), "Socket Error # ..."
// (ESocketError), "Connection Closed Gracefully.", "Max line length exceeded.", a reply whose
// framing cannot be trusted or that breaks the bounds of replyreader.h (EHttpReplyError), a body
// cut short (EHttpBodyIncomplete) and a call past its deadline (EHttpTimeout). The handlers are
// called synchronously inside Get; an exception a handler throws ends the call with that
// exception. The component keeps its connection between calls when the server allows it and
// keeps the cookies it receives for as long as it lives. One call at a time: a call started
// from inside a handler of the same component fails at once (EInvalidOperation) and leaves the
// running one alone.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "service/http/bytestream.h"
#include "service/http/connection.h"
#include "service/http/cookiestore.h"
#include "service/http/httperrors.h"
#include "service/http/workprogress.h"

class QIODevice;
class TReplyReader;
struct TReplyHead;

// Header values of the product's requests.
inline constexpr char kAcceptText[] = "text/html, */*";
inline constexpr char kAcceptProgram[] = "text/html, */*,*.exe";
inline constexpr char kUserAgent[] = "Mozilla/3.0 (compatible; Zentra Client)";
inline constexpr char kAcceptEncodingIdentity[] = "identity";

// Our bounds on waiting: a connection attempt, and each wait for the server's next bytes.
inline constexpr std::chrono::milliseconds kConnectTimeout{30000};
inline constexpr std::chrono::milliseconds kReadTimeout{30000};
// The whole of one call, name lookup included: a lookup must not freeze the login window for
// long, whatever the resolver or a server that drips its reply does. Downloads set their own.
inline constexpr std::chrono::milliseconds kCallDeadline{60000};
// How long the body of a redirect that is not followed is waited for.
inline constexpr int kRedirectBodyWaitMs = 5000;
// Memory held for a body: the text form fails past this; an error page keeps only this much.
inline constexpr qsizetype kMaxTextBodyBytes = 16 * 1024 * 1024;
inline constexpr qsizetype kMaxErrorBodyBytes = 64 * 1024;

class THttpTransfer : public QObject {
  Q_OBJECT

 public:
  using TWorkBeginEvent = std::function<void(THttpTransfer* sender, TWorkMode mode, qint64 max)>;
  using TWorkEvent = std::function<void(THttpTransfer* sender, TWorkMode mode, qint64 count)>;
  using TWorkEndEvent = std::function<void(THttpTransfer* sender, TWorkMode mode)>;

  explicit THttpTransfer(QObject* parent = nullptr);
  ~THttpTransfer() override;

  // GET `url` and return the body decoded to text by its charset.
  [[nodiscard]] QString Get(const QString& url);
  // GET `url` and write the body into `target` from its current position. The target grows
  // with the bytes that arrive and is cut back to the bytes written, also when the call fails.
  void Get(const QString& url, QIODevice& target);
  void Get(const QString& url, TByteSink& target);

  // Settings.
  QString Accept = QString::fromLatin1(kAcceptText);
  QString UserAgent = QString::fromLatin1(kUserAgent);
  bool AllowCookies = true;
  // The longest one call may take, from name lookup to the reply's last byte.
  std::chrono::milliseconds CallDeadline = kCallDeadline;

  // Progress: begin (expected bytes, 0 when the reply states no length), running total, end.
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // The last reply's status line and header lines.
  [[nodiscard]] const QString& ResponseText() const { return statusLine_; }
  [[nodiscard]] int ResponseCode() const { return statusCode_; }
  [[nodiscard]] const QStringList& ResponseHeaders() const { return headerLines_; }
  [[nodiscard]] const TCookieStore& CookieManager() const { return cookies_; }
  [[nodiscard]] bool Connected() const { return connection_ != nullptr; }

  // For tests only: shorter bounds than kConnectTimeout and kReadTimeout.
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds read);
  // For the fuzzer: connections come from here instead of TCP.
  void SetConnector(TConnector connector) { connector_ = std::move(connector); }

 private:
  // One GET into `target`; for the text form `target` is `textBody` and `text` receives it
  // decoded.
  void DoGet(const QString& url, TByteSink& target, const TMemorySink* textBody, QString* text);
  void Exchange(const QString& url, TByteSink& target, const TMemorySink* textBody, QString* text,
                const TDeadline& deadline);
  // Sends the request and reads the first head of the reply. A kept connection that turns out
  // to have been closed by the server is replaced once by a new one.
  TReplyHead SendRequest(const QByteArray& request, const QString& host, quint16 port,
                         const TDeadline& deadline, std::unique_ptr<TReplyReader>& reader);

  TConnector connector_;
  std::unique_ptr<TConnection> connection_;
  bool busy_ = false;
  TWorkProgress progress_;
  TCookieStore cookies_;
  QString acceptEncoding_;
  QString statusLine_;
  int statusCode_ = -1;
  QStringList headerLines_;
  QString charset_;  // the last reply's, kept by a non-text reply without its own
  std::chrono::milliseconds connectTimeout_ = kConnectTimeout;
  std::chrono::milliseconds readTimeout_ = kReadTimeout;
};
