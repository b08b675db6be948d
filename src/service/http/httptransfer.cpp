#include "service/http/httptransfer.h"

#include <QIODevice>
#include <new>

#include "core/errors.h"
#include "service/http/charsets.h"
#include "service/http/httplog.h"
#include "service/http/replyreader.h"
#include "service/http/request.h"
#include "service/http/tcpconnection.h"
#include "service/http/url.h"

namespace {

enum class TStatusOutcome { Success, NoContent, Redirect, Failure };

TStatusOutcome OutcomeOf(int code) {
  if (code == 204) return TStatusOutcome::NoContent;
  if (code >= 200 && code <= 299) return TStatusOutcome::Success;
  if (code >= 300 && code <= 399 && code != 304) return TStatusOutcome::Redirect;
  return TStatusOutcome::Failure;
}

// Whether a failure on a kept connection says only that the server had closed it meanwhile.
bool ClosedMeanwhile(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const EConnClosedGracefully&) {
    return true;
  } catch (const ESocketError& e) {
    return e.Number() == SocketErrorNumberFromErrno(ECONNRESET) ||
           e.Number() == SocketErrorNumberFromErrno(EPIPE);
  } catch (...) {
    return false;
  }
}

// The path for the log: the query carries the user's key, so it stays out.
QString LoggedTarget(const TUrl& url) {
  return url.host + u':' + QString::number(url.PortNumber()) + url.path + url.document;
}

}  // namespace

THttpTransfer::THttpTransfer(QObject* parent)
    : QObject(parent),
      progress_(
          [this](TWorkMode mode, qint64 max) {
            if (OnWorkBegin) OnWorkBegin(this, mode, max);
          },
          [this](TWorkMode mode, qint64 count) {
            if (OnWork) OnWork(this, mode, count);
          },
          [this](TWorkMode mode) {
            if (OnWorkEnd) OnWorkEnd(this, mode);
          }) {
  connector_ = [this](const QString& host, quint16 port, const TDeadline& deadline) {
    return std::unique_ptr<TConnection>(
        TTcpConnection::Open(host, port, connectTimeout_, readTimeout_, deadline));
  };
}

THttpTransfer::~THttpTransfer() = default;

void THttpTransfer::SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds read) {
  connectTimeout_ = connect;
  readTimeout_ = read;
}

QString THttpTransfer::Get(const QString& url) {
  TMemorySink body(kMaxTextBodyBytes, TMemorySink::TOverflow::Fail);
  QString text;
  DoGet(url, body, &body, &text);
  return text;
}

void THttpTransfer::Get(const QString& url, QIODevice& target) {
  TDeviceSink sink(target);
  DoGet(url, sink, nullptr, nullptr);
}

void THttpTransfer::Get(const QString& url, TByteSink& target) {
  DoGet(url, target, nullptr, nullptr);
}

void THttpTransfer::DoGet(const QString& address, TByteSink& target, const TMemorySink* textBody,
                          QString* text) {
  // A handler that lets events run may start another call here; it would read the first call's
  // reply off the shared connection.
  if (busy_) {
    qCDebug(lcHttp) << "refused a call while another one runs";
    throw EInvalidOperation(QString::fromLatin1(kTransferBusy));
  }
  busy_ = true;
  struct TDone {
    bool& busy;
    ~TDone() { busy = false; }
  } done{busy_};
  const TDeadline deadline = TDeadline::In(CallDeadline);
  try {
    Exchange(address, target, textBody, text, deadline);
  } catch (const std::bad_alloc&) {
    // A reply we have no memory for ends the call like any other failure of ours.
    connection_.reset();
    qCDebug(lcHttp) << "out of memory";
    throw EHttpReplyError(QString::fromLatin1(kReplyOutOfMemory));
  } catch (const Exception& e) {
    qCDebug(lcHttp) << "call failed:" << e.ClassName() << e.Message();
    throw;
  }
}

TReplyHead THttpTransfer::SendRequest(const QByteArray& request, const QString& host, quint16 port,
                                      const TDeadline& deadline,
                                      std::unique_ptr<TReplyReader>& reader) {
  bool reused = connection_ != nullptr;
  if (reused && connection_->ClosedWhileIdle()) {
    qCDebug(lcHttp) << "kept connection was closed by the server while idle";
    connection_.reset();
    reused = false;
  }
  for (;;) {
    if (connection_ == nullptr) {
      qCDebug(lcHttp) << "connecting to" << host << port;
      connection_ = connector_(host, port, deadline);
    } else {
      qCDebug(lcHttp) << "reusing the kept connection";
    }
    connection_->SetDeadline(deadline);
    reader = std::make_unique<TReplyReader>(*connection_, progress_);
    try {
      connection_->Send(request);
      return reader->ReadHead();
    } catch (...) {
      // The server may close a kept connection just as the request goes out; a GET may be
      // sent again, once, on a new connection, as long as nothing of a reply has come.
      const std::exception_ptr failure = std::current_exception();
      const bool replyBegun = reader->ReceivedAny();
      connection_.reset();
      reader.reset();
      if (!reused || replyBegun || !ClosedMeanwhile(failure)) throw;
      qCDebug(lcHttp) << "kept connection closed under the request; trying a new one";
      reused = false;
    }
  }
}

void THttpTransfer::Exchange(const QString& address, TByteSink& target, const TMemorySink* textBody,
                             QString* text, const TDeadline& deadline) {
  const TUrl url = ParseUrl(address);
  qCDebug(lcHttp) << "GET" << LoggedTarget(url);

  if (!acceptEncoding_.contains(QLatin1String(kAcceptEncodingIdentity))) {
    acceptEncoding_ = QString::fromLatin1(kAcceptEncodingIdentity);
  }
  TRequestHeaders headers{Accept, acceptEncoding_, UserAgent, {}};
  if (AllowCookies) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    cookies_.DropExpired(now);
    headers.cookie = cookies_.CookieHeader(url, now);
  }
  const QByteArray request = BuildRequest(url, headers);

  const quint16 port = url.PortNumber();
  if (connection_ != nullptr && (connection_->Host().compare(url.host, Qt::CaseInsensitive) != 0 ||
                                 connection_->Port() != port)) {
    qCDebug(lcHttp) << "closing the kept connection to another host";
    connection_.reset();
  }

  // The connection is kept only when the reply was read to its end and allows it; anything
  // left unread (a failure mid-body, a handler that threw) would corrupt the next reply.
  bool keep = false;
  try {
    std::unique_ptr<TReplyReader> reader;
    TReplyHead head = SendRequest(request, url.host, port, deadline, reader);
    const auto takeCookies = [&] {
      if (!AllowCookies) return;
      const QDateTime now = QDateTime::currentDateTimeUtc();
      for (const QString& line : head.Values(QLatin1String("Set-Cookie"))) {
        cookies_.SetCookie(line, url, now);
      }
    };
    takeCookies();
    // Interim replies (100 Continue, 102 Processing, ...) precede the one that counts; a
    // server that sends them without end meets the deadline.
    while (IsInterim(head.statusCode)) {
      qCDebug(lcHttp) << "interim reply" << head.statusCode;
      head = reader->ReadHead();
      takeCookies();
    }
    qCDebug(lcHttp) << "status" << head.statusCode;
    statusLine_ = head.statusLine;
    statusCode_ = head.statusCode;
    headerLines_ = head.headerLines;

    TReplyFields fields = ParseFields(head);
    const bool noBody = HasNoBody(head.statusCode);
    qCDebug(lcHttp) << "framing:"
                    << (noBody           ? "no body"
                        : fields.chunked ? "chunked"
                        : fields.contentLength >= 0
                            ? qPrintable(QStringLiteral("length %1").arg(fields.contentLength))
                            : "until close");
    if (!fields.hasCharset) {
      if (fields.mediaType.isEmpty()) {
        charset_.clear();
      } else if (fields.mediaType.startsWith(QLatin1String("text/"), Qt::CaseInsensitive)) {
        charset_ = DefaultCharsetFor(fields.mediaType);
      }
    } else {
      charset_ = fields.charset;
    }
    const auto decode = [&](const QByteArray& body) {
      const QString charset =
          IsSelfDescribingXml(fields.mediaType) ? XmlDocumentCharset(body) : charset_;
      return DecodeText(body, charset);
    };
    // A body read until the server closed leaves nothing to keep.
    const bool readToClose = !noBody && !fields.chunked && fields.contentLength < 0;
    // 101 switches the connection to another protocol: it can carry no further reply of ours.
    const bool keepable = head.statusCode != 101 && !fields.closeConnection && !readToClose;

    switch (OutcomeOf(head.statusCode)) {
      case TStatusOutcome::NoContent:
        if (text != nullptr) text->clear();
        break;
      case TStatusOutcome::Success:
        reader->ReadBody(fields, head, target);
        headerLines_ = head.headerLines;
        if (text != nullptr) *text = decode(textBody->Data());
        break;
      case TStatusOutcome::Redirect:
      case TStatusOutcome::Failure: {
        // The error page goes to a buffer of its own; the caller's target stays untouched.
        TMemorySink errorBody(kMaxErrorBodyBytes, TMemorySink::TOverflow::Drop);
        const bool bodyExpected = !noBody && (fields.chunked || fields.contentLength != 0);
        bool bodyRead = !bodyExpected;
        if (bodyExpected && (OutcomeOf(head.statusCode) == TStatusOutcome::Failure ||
                             reader->WaitForBody(kRedirectBodyWaitMs))) {
          reader->ReadBody(fields, head, errorBody);
          headerLines_ = head.headerLines;
          bodyRead = true;
        }
        keep = bodyRead && keepable && !reader->PeerClosed();
        throw EHttpProtocolError(head.statusCode, head.statusLine, decode(errorBody.Data()));
      }
    }
    keep = keepable && !reader->PeerClosed();
  } catch (...) {
    if (!keep) connection_.reset();
    qCDebug(lcHttp) << (keep ? "connection kept" : "connection closed");
    throw;
  }
  if (!keep) connection_.reset();
  qCDebug(lcHttp) << (keep ? "connection kept" : "connection closed");
}
