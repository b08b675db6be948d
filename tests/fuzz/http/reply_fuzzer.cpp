// Drives whole calls of the transfer, as the login and download windows make them, against
// connections whose bytes come from the input: the status decisions, the interim replies, the
// body framing, the keep-alive rule and the retry of a kept connection all run as shipped.
//
// Input: one byte of options (how many bytes each read gives, whether a kept connection looks
// closed when the next call comes), then the bytes of each connection the component opens, in
// order, separated by "~~~\n". Three calls are made on one component: text, stream, text.
// Checks: every failure is one of ours (anything else escapes and the fuzzer reports it), the
// progress always comes back to level 0 with counts that only rise, and the cookie store stays
// within its bounds.
#include <QBuffer>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "service/http/connection.h"
#include "service/http/cookiestore.h"
#include "service/http/httptransfer.h"

namespace {

const QByteArray kSeparator("~~~\n");

class TScriptConnection : public TConnection {
 public:
  TScriptConnection(QByteArray bytes, size_t step, bool closesWhileIdle)
      : TConnection(QStringLiteral("www.site.example"), 80),
        bytes_(std::move(bytes)),
        step_(step),
        closesWhileIdle_(closesWhileIdle) {}
  void Send(const QByteArray&) override {}
  qsizetype Receive(char* out, qsizetype max) override {
    const qsizetype n = std::min(
        {max, static_cast<qsizetype>(step_), bytes_.size() - static_cast<qsizetype>(pos_)});
    memcpy(out, bytes_.constData() + pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return n;
  }
  bool WaitReadable(int) override { return pos_ < static_cast<size_t>(bytes_.size()); }
  bool ClosedWhileIdle() override { return closesWhileIdle_; }
  void SetDeadline(const TDeadline&) override {}

 private:
  QByteArray bytes_;
  size_t step_;
  size_t pos_ = 0;
  bool closesWhileIdle_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = 1 + static_cast<size_t>(data[0] & 0x7F) * 131;
  const bool closesWhileIdle = (data[0] & 0x80) != 0;
  std::deque<QByteArray> connections;
  {
    const QByteArray all(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    qsizetype from = 0;
    for (;;) {
      const qsizetype at = all.indexOf(kSeparator, from);
      connections.push_back(all.mid(from, at < 0 ? -1 : at - from));
      if (at < 0) break;
      from = at + kSeparator.size();
    }
  }

  THttpTransfer http;
  http.SetConnector([&](const QString&, quint16, const TDeadline&) {
    QByteArray bytes;
    if (!connections.empty()) {
      bytes = connections.front();
      connections.pop_front();
    }
    return std::make_unique<TScriptConnection>(bytes, step, closesWhileIdle);
  });
  int level = 0;
  qint64 last = 0;
  http.OnWorkBegin = [&](THttpTransfer*, TWorkMode, qint64) {
    if (level++ != 0) abort();
    last = 0;
  };
  http.OnWork = [&](THttpTransfer*, TWorkMode, qint64 count) {
    if (level != 1 || count < last) abort();
    last = count;
  };
  http.OnWorkEnd = [&](THttpTransfer*, TWorkMode) {
    if (--level != 0) abort();
  };

  const QString url = QStringLiteral("http://www.site.example/app/login.php?usuario=a");
  for (int call = 0; call < 3; ++call) {
    try {
      if (call == 1) {
        QByteArray stream;
        QBuffer buffer(&stream);
        buffer.open(QIODevice::ReadWrite);
        http.Get(url, buffer);
      } else {
        (void)http.Get(url);
      }
    } catch (const Exception&) {
      // Every failure the transfer knows is an Exception with a text; anything else escapes.
    }
    if (level != 0) abort();
  }
  if (http.CookieManager().Cookies().size() > static_cast<size_t>(kMaxCookies)) abort();
  return 0;
}
