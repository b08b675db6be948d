#include "principal/rdp/clipboard/clipformats.h"

#include "principal/rdp/clipboard/cliplimits.h"

QStringList RemoteOffer::MimeTypes() const {
  QStringList types;
  if (files != 0) types << kMimeUriList << kMimeGnomeFiles;
  if (html != 0) types << kMimeHtml;
  if (text != 0) types << kMimeText << kMimeTextUtf8;
  if (picture != 0) types << kMimePng << kMimeQtImage;
  return types;
}

RemoteOffer OfferFromFormats(const std::vector<ClipFormat>& formats) {
  RemoteOffer offer;
  // Rank within a kind: a higher rank wins, whatever order the server lists them in.
  int textRank = 0;
  int pictureRank = 0;
  const auto take = [](std::uint32_t& slot, int& rank, std::uint32_t id, int newRank) {
    if (newRank > rank) {
      slot = id;
      rank = newRank;
    }
  };
  int seen = 0;
  for (const ClipFormat& format : formats) {
    if (++seen > kMaxClipFormats) break;
    if (format.name.size() > kMaxClipFormatNameLength) continue;
    if (format.id == 0) continue;
    if (format.name.isEmpty()) {
      switch (format.id) {
        case kCfUnicodeText:
          take(offer.text, textRank, format.id, 3);
          break;
        case kCfText:
          take(offer.text, textRank, format.id, 2);
          break;
        case kCfOemText:
          take(offer.text, textRank, format.id, 1);
          break;
        case kCfDibV5:
          take(offer.picture, pictureRank, format.id, 3);
          break;
        case kCfDib:
          take(offer.picture, pictureRank, format.id, 1);
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
      take(offer.picture, pictureRank, format.id, 2);
    } else if (format.name == kFileListFormatName) {
      offer.files = format.id;
    }
  }
  return offer;
}

std::vector<ClipFormat> FormatsForOffer(const LocalOffer& offer) {
  std::vector<ClipFormat> formats;
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
