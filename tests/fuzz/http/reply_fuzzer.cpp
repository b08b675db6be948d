// Feeds arbitrary bytes to the transfer's reply reader as if a server sent them, in reads of a
// size the first byte chooses, and hands every Set-Cookie line to a cookie store. Checks that
// the progress always comes back to level 0 and that the counts only rise.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/http/bytestream.h"
#include "service/http/charsets.h"
#include "service/http/cookiestore.h"
#include "service/http/httptransfer.h"
#include "service/http/replyreader.h"
#include "service/http/request.h"
#include "service/http/url.h"

namespace {

class TScriptSource : public TByteSource {
 public:
  TScriptSource(const uint8_t* data, size_t size, size_t step)
      : data_(data), size_(size), step_(step) {}
  qsizetype Receive(char* out, qsizetype max) override {
    const size_t n = std::min({static_cast<size_t>(max), step_, size_ - pos_});
    memcpy(out, data_ + pos_, n);
    pos_ += n;
    return static_cast<qsizetype>(n);
  }
  bool WaitReadable(int) override { return true; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t step_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t step = 1 + static_cast<size_t>(data[0]) * 131;
  TScriptSource source(data + 1, size - 1, step);
  qint64 last = 0;
  TWorkProgress progress([&](TWorkMode, qint64) { last = 0; },
                         [&](TWorkMode, qint64 count) {
                           if (count < last) abort();
                           last = count;
                         },
                         [](TWorkMode) {});
  static const TUrl url = ParseUrl(QStringLiteral("http://www.site.example/app/login.php"));
  static const QDateTime now(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
  TCookieStore cookies;
  TReplyReader reader(source, progress);
  try {
    TReplyHead head;
    do {
      head = reader.ReadHead();
      for (const QString& line : head.Values(QLatin1String("Set-Cookie"))) {
        cookies.SetCookie(line, url, now);
      }
    } while (head.statusCode == 100);
    const TReplyFields fields = ParseFields(head);
    TMemorySink body(kMaxTextBodyBytes, TMemorySink::TOverflow::Fail);
    reader.ReadBody(fields, head, body);
    const QString charset =
        IsSelfDescribingXml(fields.mediaType) ? XmlDocumentCharset(body.Data()) : fields.charset;
    (void)DecodeText(body.Data(), charset);
  } catch (const Exception&) {
    // Every failure the reader knows is an Exception with a text; anything else escapes.
  }
  if (progress.Level(wmRead) != 0) abort();
  if (cookies.Cookies().size() > static_cast<size_t>(kMaxCookies)) abort();
  // The store's request line, folded as it would be sent.
  (void)FoldHeaderLine(WireText(cookies.CookieHeader(url, now.addSecs(1))));
  return 0;
}
