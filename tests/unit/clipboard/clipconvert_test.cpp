// Text, HTML, pictures and format lists as they cross between the two clipboards.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QtEndian>

#include "principal/rdp/session/clipboard/clipformats.h"
#include "principal/rdp/session/clipboard/clippicture.h"
#include "principal/rdp/session/clipboard/cliptext.h"
#include "testapp.h"

namespace {

QByteArray Utf16(const std::u16string& text) {
  QByteArray bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(ClipText, LocalTextGoesOutWithCrLfAndOneNul) {
  struct Case {
    QString local;
    std::u16string remote;
  };
  const Case cases[] = {
      {QStringLiteral("Olá, São Paulo ✓"), u"Olá, São Paulo ✓"},
      {QStringLiteral("a\nb\n"), u"a\r\nb\r\n"},
      {QStringLiteral("a\r\nb"), u"a\r\nb"},  // already Windows line ends: not doubled
      {QStringLiteral("\n"), u"\r\n"},
      {QString(), u""},
      {QString::fromUtf16(u"x\U0001F600y"), u"x\U0001F600y"},  // a surrogate pair stays whole
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnicodeTextFromLocal(c.local), Utf16(c.remote) + QByteArray(2, '\0'))
        << c.local.toStdString();
  }
}

TEST(ClipText, RemoteTextComesInWithLfAndWithoutNul) {
  struct Case {
    QByteArray remote;
    QString local;
  };
  const Case cases[] = {
      {Utf16(u"Olá, São Paulo ✓") + QByteArray(2, '\0'), QStringLiteral("Olá, São Paulo ✓")},
      {Utf16(u"a\r\nb\r\n"), QStringLiteral("a\nb\n")},
      {Utf16(u"one") + QByteArray(2, '\0') + Utf16(u"garbage"), QStringLiteral("one")},
      {Utf16(u"ab") + QByteArray(1, 'x'), QStringLiteral("ab")},  // odd byte count
      {QByteArray(), QString()},
      {Utf16(u"a\rb"), QStringLiteral("a\rb")},  // a lone CR is not a line end
  };
  for (const Case& c : cases) {
    const auto text = LocalFromUnicodeText(c.remote);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, c.local);
  }
}

TEST(ClipText, EightBitTextIsReadInItsCodePage) {
  EXPECT_EQ(LocalFromAnsiText(QByteArray("S\xe3o Paulo \x80\r\n\0junk", 17), false),
            QStringLiteral("São Paulo €\n"));
  // Code page 850: 0xC6 is ã, 0x87 is ç.
  EXPECT_EQ(LocalFromAnsiText(QByteArray("S\xc6o, a\x87\xc6o"), true), QStringLiteral("São, ação"));
  // Bytes Windows-1252 leaves undefined do not end the text.
  EXPECT_EQ(LocalFromAnsiText(QByteArray("a\x81z"), false), QString::fromUtf8("a\xEF\xBF\xBDz"));
}

TEST(ClipHtml, LocalHtmlRoundTripsThroughTheHeader) {
  const QString fragment = QStringLiteral("<b>Olá</b>, São Paulo ✓");
  const QByteArray block = HtmlFormatFromLocal(fragment);
  ASSERT_TRUE(block.startsWith("Version:0.9\r\n"));
  ASSERT_TRUE(block.endsWith('\0'));
  // The offsets in the header point where they say.
  const auto offset = [&](const char* key) {
    const qsizetype at = block.indexOf(key) + qstrlen(key) + 1;
    return block.mid(at, 10).toInt();
  };
  EXPECT_EQ(block.mid(offset("StartFragment"), offset("EndFragment") - offset("StartFragment")),
            fragment.toUtf8());
  EXPECT_TRUE(block.mid(offset("StartHTML")).startsWith("<html>"));
  const auto back = LocalFromHtmlFormat(block);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(back->contains(fragment));

  // A whole document keeps its own body; the markers go inside it.
  const auto document =
      LocalFromHtmlFormat(HtmlFormatFromLocal(QStringLiteral("<html><body>x</body></html>")));
  EXPECT_EQ(document,
            QStringLiteral("<html><body><!--StartFragment-->x<!--EndFragment--></body></html>"));
}

TEST(ClipHtml, RemoteHeadersAreCheckedAgainstTheData) {
  const QByteArray body = "<html><body>hi</body></html>";
  const auto block = [&](const QByteArray& header) { return header + body; };
  struct Case {
    const char* what;
    QByteArray data;
    std::optional<QString> html;
  };
  const auto n = [](int v) { return QByteArray::number(v).rightJustified(10, '0'); };
  // "Version:0.9\r\n" and the two 10-digit lines are 55 bytes; the body is 28.
  const Case cases[] = {
      {"plain", block("Version:0.9\r\nStartHTML:" + n(55) + "\r\nEndHTML:" + n(83) + "\r\n"),
       QString::fromUtf8(body)},
      {"end past the data",
       block("Version:0.9\r\nStartHTML:" + n(55) + "\r\nEndHTML:" + n(84) + "\r\n"), std::nullopt},
      {"end before start",
       block("Version:0.9\r\nStartHTML:" + n(60) + "\r\nEndHTML:" + n(58) + "\r\n"), std::nullopt},
      {"negative", block("Version:0.9\r\nStartHTML:-1\r\nEndHTML:-1\r\n"), std::nullopt},
      {"no header", body, std::nullopt},
      {"number too long", block("Version:0.9\r\nStartHTML:00000000055\r\nEndHTML:0000000083\r\n"),
       std::nullopt},
      // 13 + 14 + 12 + 26 + 24 = 89 bytes of header; "hi" is 12 bytes into the body.
      {"fragment only",
       block("Version:0.9\r\nStartHTML:-1\r\nEndHTML:-1\r\nStartFragment:" + n(101) +
             "\r\nEndFragment:" + n(103) + "\r\n"),
       QStringLiteral("hi")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocalFromHtmlFormat(c.data), c.html) << c.what;
  }
}

QImage TestPicture() {
  QImage image(5, 3, QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      image.setPixel(x, y, qRgba(40 * x, 80 * y, 200, x == 0 ? 255 : 60 * x));
  return image;
}

TEST(ClipPicture, DibV5KeepsAlphaAndDibShowsItOnWhite) {
  const QImage picture = TestPicture();
  const auto v5 = PictureFromDib(DibV5FromPicture(picture));
  ASSERT_TRUE(v5.has_value());
  EXPECT_TRUE(v5->hasAlphaChannel());
  EXPECT_EQ(v5->convertToFormat(QImage::Format_ARGB32), picture);

  const auto dib = PictureFromDib(DibFromPicture(picture));
  ASSERT_TRUE(dib.has_value());
  ASSERT_EQ(dib->size(), picture.size());
  EXPECT_FALSE(dib->hasAlphaChannel());
  // The opaque column is unchanged; a fully see-through pixel would be white.
  EXPECT_EQ(QColor(dib->pixel(0, 2)), QColor(picture.pixel(0, 2)).rgb());
  const QColor half(dib->pixel(2, 1));  // alpha 120 over white
  EXPECT_NEAR(half.red(), 80 * 120 / 255 + 255 - 120, 2);

  // A server that passes on the DIB less its last 14 bytes (xrdp 0.9) still gets every pixel.
  const QByteArray plain = DibFromPicture(picture);
  const auto cut = PictureFromDib(plain.left(plain.size() - 14));
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(*cut, *dib);

  const auto png = PictureFromPng(PngFromPicture(picture));
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->convertToFormat(QImage::Format_ARGB32), picture);
}

// A 24-bit DIB as Windows programs put it on the clipboard: BITMAPINFOHEADER, rows bottom-up,
// each padded to four bytes.
QByteArray Dib24(qint32 width, qint32 height, quint16 bits = 24, quint32 header = 40,
                 quint32 colorsUsed = 0) {
  QByteArray dib(40, '\0');
  qToLittleEndian<quint32>(header, dib.data());
  qToLittleEndian<qint32>(width, dib.data() + 4);
  qToLittleEndian<qint32>(height, dib.data() + 8);
  qToLittleEndian<quint16>(1, dib.data() + 12);
  qToLittleEndian<quint16>(bits, dib.data() + 14);
  qToLittleEndian<quint32>(colorsUsed, dib.data() + 32);
  const int stride = ((width * 24 + 31) / 32) * 4;
  if (width > 0 && width < 100 && height > 0 && height < 100) {
    QByteArray rows(stride * height, '\0');
    // bottom row red, the others blue
    for (int x = 0; x < width; ++x) rows[x * 3 + 2] = char(0xFF);
    for (int y = 1; y < height; ++y)
      for (int x = 0; x < width; ++x) rows[y * stride + x * 3] = char(0xFF);
    dib += rows;
  }
  return dib;
}

TEST(ClipPicture, WindowsDibIsReadBottomUp) {
  const auto image = PictureFromDib(Dib24(3, 2));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->size(), QSize(3, 2));
  EXPECT_EQ(QColor(image->pixel(1, 1)), QColor(Qt::red));
  EXPECT_EQ(QColor(image->pixel(1, 0)), QColor(Qt::blue));
}

TEST(ClipPicture, HostileDibsAreRefused) {
  struct Case {
    const char* what;
    QByteArray dib;
  };
  const Case cases[] = {
      {"empty", QByteArray()},
      {"short header", Dib24(3, 2).left(30)},
      {"rows missing", Dib24(3, 2).left(45)},
      {"zero width", Dib24(0, 2)},
      {"negative width", Dib24(-3, 2)},
      {"huge", Dib24(100000, 100000)},
      {"wide and flat past the pixel bound", Dib24(32768, 32768)},
      {"odd header size", Dib24(3, 2, 24, 41)},
      {"header size past the data", Dib24(3, 2, 24, 124)},
      {"bits 7", Dib24(3, 2, 7)},
      {"palette larger than the bits allow", Dib24(3, 2, 8, 40, 257)},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(PictureFromDib(c.dib).has_value()) << c.what;
  }
  EXPECT_FALSE(PictureFromPng(QByteArray("\x89PNG\r\n\x1a\nnot really")).has_value());
}

TEST(ClipFormats, RemoteListOffersTheBestOfEachKind) {
  struct Case {
    const char* what;
    std::vector<TClipFormat> formats;
    TRemoteOffer offer;
  };
  const Case cases[] = {
      {"unicode over ansi, in any order",
       {{kCfText, {}}, {kCfOemText, {}}, {kCfUnicodeText, {}}},
       {kCfUnicodeText, 0, 0, 0}},
      {"oem alone", {{kCfOemText, {}}}, {kCfOemText, 0, 0, 0}},
      {"dibv5 over png over dib",
       {{kCfDib, {}}, {0xC123, QStringLiteral("PNG")}, {kCfDibV5, {}}},
       {0, 0, kCfDibV5, 0}},
      {"png over dib", {{kCfDib, {}}, {0xC123, QStringLiteral("PNG")}}, {0, 0, 0xC123, 0}},
      {"html and files by name",
       {{0xC0AA, QStringLiteral("HTML Format")},
        {0xC0BB, QStringLiteral("FileGroupDescriptorW")},
        {0xC0CC, QStringLiteral("FileContents")}},
       {0, 0xC0AA, 0, 0xC0BB}},
      {"a registered name on a standard number is ignored",
       {{kCfUnicodeText, QStringLiteral("HTML Format")},
        {5, QStringLiteral("FileGroupDescriptorW")}},
       {}},
      {"nothing we know", {{2, {}}, {0xC001, QStringLiteral("Rich Text Format")}}, {}},
  };
  // All of a kind, best first, for when the server refuses the best one.
  const TRemoteOffer all = OfferFromFormats({{kCfDib, {}},
                                             {kCfText, {}},
                                             {kCfDibV5, {}},
                                             {0xC123, QStringLiteral("PNG")},
                                             {kCfUnicodeText, {}},
                                             {kCfDib, {}}});
  EXPECT_EQ(all.pictures, (std::vector<std::uint32_t>{kCfDibV5, 0xC123, kCfDib}));
  EXPECT_EQ(all.texts, (std::vector<std::uint32_t>{kCfUnicodeText, kCfText}));
  for (const Case& c : cases) {
    const TRemoteOffer got = OfferFromFormats(c.formats);
    EXPECT_EQ(got.text, c.offer.text) << c.what;
    EXPECT_EQ(got.html, c.offer.html) << c.what;
    EXPECT_EQ(got.picture, c.offer.picture) << c.what;
    EXPECT_EQ(got.files, c.offer.files) << c.what;
  }
  // Past the bound, entries are not looked at.
  std::vector<TClipFormat> many(300, TClipFormat{2, {}});
  many.push_back({kCfUnicodeText, {}});
  EXPECT_TRUE(OfferFromFormats(many).Empty());
  EXPECT_TRUE(OfferFromFormats({{0xC0AA, QString(300, u'x')}}).Empty());
}

}  // namespace
