#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The clipboard formats both sides speak: Windows' standard format numbers and the registered
// names that carry HTML, PNG and file lists. Which local types a remote format list becomes, and
// which formats a local clipboard is announced with, are decided here, away from the channel.

inline constexpr std::uint32_t kCfText = 1;
inline constexpr std::uint32_t kCfDib = 8;
inline constexpr std::uint32_t kCfOemText = 7;
inline constexpr std::uint32_t kCfUnicodeText = 13;
inline constexpr std::uint32_t kCfDibV5 = 17;

// Registered formats have names; their numbers are chosen by the side that announces them. Ours:
inline constexpr std::uint32_t kOurHtmlFormat = 0xD010;
inline constexpr std::uint32_t kOurPngFormat = 0xD011;
inline constexpr std::uint32_t kOurFileListFormat = 0xD012;

inline const QString kHtmlFormatName = QStringLiteral("HTML Format");
inline const QString kPngFormatName = QStringLiteral("PNG");
inline const QString kFileListFormatName = QStringLiteral("FileGroupDescriptorW");

// Local clipboard types.
inline const QString kMimeText = QStringLiteral("text/plain");
inline const QString kMimeTextUtf8 = QStringLiteral("text/plain;charset=utf-8");
inline const QString kMimeHtml = QStringLiteral("text/html");
inline const QString kMimePng = QStringLiteral("image/png");
inline const QString kMimeQtImage = QStringLiteral("application/x-qt-image");
inline const QString kMimeUriList = QStringLiteral("text/uri-list");
inline const QString kMimeGnomeFiles = QStringLiteral("x-special/gnome-copied-files");
inline const QString kMimeKdeCut = QStringLiteral("application/x-kde-cutselection");

// One entry of a format list: a number and, for a registered format, its name.
struct TClipFormat {
  std::uint32_t id = 0;
  QString name;
  bool operator==(const TClipFormat&) const = default;
};

// What the remote side's format list offers, reduced to what we can take, each with the format
// number to ask for (0 when it is not offered). The best of several is chosen: Unicode text over
// the 8-bit ones, DIBV5 (which carries alpha) over PNG over DIB.
struct TRemoteOffer {
  std::uint32_t text = 0;  // CF_UNICODETEXT, CF_TEXT or CF_OEMTEXT
  std::uint32_t html = 0;
  std::uint32_t picture = 0;  // CF_DIBV5, PNG or CF_DIB
  std::uint32_t files = 0;
  // Every text and picture format offered, best first: a server may list a format it then
  // refuses to give (xrdp lists CF_DIBV5 but answers only CF_DIB), so the next one is tried.
  std::vector<std::uint32_t> texts;
  std::vector<std::uint32_t> pictures;

  [[nodiscard]] bool Empty() const { return text == 0 && html == 0 && picture == 0 && files == 0; }
  // The local types a program may ask for.
  [[nodiscard]] QStringList MimeTypes() const;
};

// A format list from the server; names longer than the bound and entries past the count limit
// are ignored, as are formats we cannot read.
[[nodiscard]] TRemoteOffer OfferFromFormats(const std::vector<TClipFormat>& formats);

// What the local clipboard holds, reduced to what we can give.
struct TLocalOffer {
  bool text = false;
  bool html = false;
  bool picture = false;
  bool files = false;
};

// The format list that announces a local clipboard.
[[nodiscard]] std::vector<TClipFormat> FormatsForOffer(const TLocalOffer& offer);
