// Text, HTML and pictures copied on either side, read on the other.
#include "rdpclipboardtest.h"

TEST_F(RdpClipboardTest, ServerTextAndHtmlArePastedLocallyAndNotAnnouncedBack) {
  int requests = 0;
  peer_.answerData = [&requests](std::uint32_t id) -> std::optional<QByteArray> {
    ++requests;
    if (id == kCfUnicodeText) return Utf16Z(QStringLiteral("Olá, São Paulo ✓\r\nsegunda linha"));
    if (id == 0xC0AA) return HtmlFormatFromLocal(QStringLiteral("<b>Olá</b>"));
    return std::nullopt;
  };
  ServerCopies({{kCfText, {}}, {kCfUnicodeText, {}}, {0xC0AA, QStringLiteral("HTML Format")}});
  EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
  EXPECT_TRUE(
      QGuiApplication::clipboard()->mimeData()->html().contains(QStringLiteral("<b>Olá</b>")));
  // A second paste is answered from what came the first time.
  EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
  EXPECT_EQ(requests, 2);

  // Putting the server's copy into the local clipboard is no local copy to announce.
  QCoreApplication::processEvents();
  EXPECT_EQ(FormatLists(), 1u);
  auto lock = peer_.Lock();
  EXPECT_EQ(peer_.formatListResponses, 1);
}

TEST_F(RdpClipboardTest, LocalTextIsAnnouncedOnceAndReadByTheServer) {
  QGuiApplication::clipboard()->setText(kText);
  ASSERT_TRUE(WaitFor([&] { return FormatLists() == 2; }));
  const auto formats = LastFormatList();
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfUnicodeText, {}}),
            formats.end());
  EXPECT_EQ(ServerReads(kCfUnicodeText),
            Utf16Z(QStringLiteral("Olá, São Paulo ✓\r\nsegunda linha")));
  EXPECT_EQ(ServerReads(kCfText), std::nullopt);  // not offered
  EXPECT_EQ(ServerReads(kOurFileListFormat), std::nullopt);
  QCoreApplication::processEvents();
  EXPECT_EQ(FormatLists(), 2u);
}

TEST_F(RdpClipboardTest, PicturesCrossBothWays) {
  QImage picture(4, 3, QImage::Format_ARGB32);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) picture.setPixel(x, y, qRgba(60 * x, 100 * y, 30, 50 + 60 * x));
  QGuiApplication::clipboard()->setImage(picture);
  ASSERT_TRUE(WaitFor([&] { return FormatLists() == 2; }));
  const auto formats = LastFormatList();
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfDibV5, {}}), formats.end());
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfDib, {}}), formats.end());
  const auto v5 = ServerReads(kCfDibV5);
  ASSERT_TRUE(v5.has_value());
  const auto back = PictureFromDib(*v5);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->convertToFormat(QImage::Format_ARGB32), picture);

  // The server copies an opaque picture; like xrdp it lists DIBV5 but gives only a plain DIB.
  QImage remote(6, 2, QImage::Format_RGB32);
  remote.fill(QColor(10, 200, 30));
  remote.setPixel(5, 1, qRgb(250, 0, 0));
  peer_.answerData = [remote](std::uint32_t id) -> std::optional<QByteArray> {
    if (id == kCfDib) return DibFromPicture(remote);
    return std::nullopt;
  };
  ServerCopies({{kCfDibV5, {}}, {kCfDib, {}}});
  EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), remote);
  const auto png = PictureFromPng(QGuiApplication::clipboard()->mimeData()->data(kMimePng));
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->convertToFormat(QImage::Format_RGB32), remote);
}
