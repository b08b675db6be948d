#include "principal/rdp/session/clipboard/clipformats.h"

#include "principal/rdp/session/clipboard/cliplimits.h"

#include <algorithm>

QStringList TRemoteOffer::MimeTypes() const {
  QStringList types;
  if (files != 0) types << kMimeUriList << kMimeGnomeFiles;
  if (html != 0) types << kMimeHtml;
  if (text != 0) types << kMimeText << kMimeTextUtf8;
  if (picture != 0) types << kMimePng << kMimeQtImage;
  return types;
}

TRemoteOffer OfferFromFormats(const std::vector<TClipFormat>& formats) {
  TRemoteOffer offer;
  // Rank within a kind, so the best comes first whatever order the server lists them in.
  std::vector<std::pair<int, std::uint32_t>> texts;
  std::vector<std::pair<int, std::uint32_t>> pictures;
  int seen = 0;
  for (const TClipFormat& format : formats) {
    if (++seen > kMaxClipFormats) break;
    if (format.name.size() > kMaxClipFormatNameLength) continue;
    if (format.id == 0) continue;
    if (format.name.isEmpty()) {
      switch (format.id) {
        case kCfUnicodeText:
          texts.emplace_back(3, format.id);
          break;
        case kCfText:
          texts.emplace_back(2, format.id);
          break;
        case kCfOemText:
          texts.emplace_back(1, format.id);
          break;
        case kCfDibV5:
          pictures.emplace_back(3, format.id);
          break;
        case kCfDib:
          pictures.emplace_back(1, format.id);
          break;
        default:
          break;
      }
      continue;
    }
    // Registered formats are known by name only; their numbers are the server's choice and must
    // not be one of the standard ones.
    if (format.id < 0xC000) continue;
    if (format.name == kHtmlFormatName) {
      offer.html = format.id;
    } else if (format.name == kPngFormatName) {
      pictures.emplace_back(2, format.id);
    } else if (format.name == kFileListFormatName) {
      offer.files = format.id;
    }
  }
  const auto ordered = [](std::vector<std::pair<int, std::uint32_t>> ranked) {
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::uint32_t> ids;
    for (const auto& [rank, id] : ranked)
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    return ids;
  };
  offer.texts = ordered(std::move(texts));
  offer.pictures = ordered(std::move(pictures));
  if (!offer.texts.empty()) offer.text = offer.texts.front();
  if (!offer.pictures.empty()) offer.picture = offer.pictures.front();
  return offer;
}

std::vector<TClipFormat> FormatsForOffer(const TLocalOffer& offer) {
  std::vector<TClipFormat> formats;
  if (offer.files) formats.push_back({kOurFileListFormat, kFileListFormatName});
  if (offer.html) formats.push_back({kOurHtmlFormat, kHtmlFormatName});
  if (offer.text) formats.push_back({kCfUnicodeText, {}});
  if (offer.picture) {
    formats.push_back({kCfDibV5, {}});
    formats.push_back({kOurPngFormat, kPngFormatName});
    formats.push_back({kCfDib, {}});
  }
  return formats;
}
