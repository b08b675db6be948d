#include "service/http/httptransfer.h"

#include <QIODevice>

#include "service/http/charsets.h"
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
          }) {}

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
  const TUrl url = ParseUrl(address);

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
    connection_.reset();
  }

  // The connection is kept only when the reply was read to its end and allows it; anything
  // left unread (a failure mid-body, a handler that threw) would corrupt the next reply.
  bool keep = false;
  try {
    if (connection_ == nullptr) {
      connection_ = TTcpConnection::Open(url.host, port, connectTimeout_, readTimeout_);
    }
    connection_->Send(request);

    TReplyReader reader(*connection_, progress_);
    TReplyHead head;
    const auto closedByPeer = [&] { return reader.PeerClosed(); };
    for (;;) {
      head = reader.ReadHead();
      if (AllowCookies) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const QString& line : head.Values(QLatin1String("Set-Cookie"))) {
          cookies_.SetCookie(line, url, now);
        }
      }
      if (head.statusCode != 100) break;
    }
    statusLine_ = head.statusLine;
    statusCode_ = head.statusCode;
    headerLines_ = head.headerLines;

    TReplyFields fields = ParseFields(head);
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

    switch (OutcomeOf(head.statusCode)) {
      case TStatusOutcome::NoContent:
        if (text != nullptr) text->clear();
        break;
      case TStatusOutcome::Success:
        reader.ReadBody(fields, head, target);
        headerLines_ = head.headerLines;
        if (text != nullptr) *text = decode(textBody->Data());
        break;
      case TStatusOutcome::Redirect:
      case TStatusOutcome::Failure: {
        // The error page goes to a buffer of its own; the caller's target stays untouched.
        TMemorySink errorBody(kMaxErrorBodyBytes, TMemorySink::TOverflow::Drop);
        const bool bodyExpected = fields.chunked || fields.contentLength != 0;
        bool bodyRead = !bodyExpected;
        if (bodyExpected && (OutcomeOf(head.statusCode) == TStatusOutcome::Failure ||
                             reader.WaitForBody(kRedirectBodyWaitMs))) {
          reader.ReadBody(fields, head, errorBody);
          headerLines_ = head.headerLines;
          bodyRead = true;
        }
        keep = bodyRead && !fields.closeConnection && !closedByPeer();
        throw EHttpProtocolError(head.statusCode, head.statusLine, decode(errorBody.Data()));
      }
    }
    const bool readToClose = !fields.chunked && fields.contentLength < 0 && head.statusCode != 204;
    keep = !fields.closeConnection && !closedByPeer() && !readToClose;
  } catch (...) {
    if (!keep) connection_.reset();
    throw;
  }
  if (!keep) connection_.reset();
}
