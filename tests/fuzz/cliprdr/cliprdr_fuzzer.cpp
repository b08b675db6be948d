// Feeds arbitrary bytes to every reader of what the server sends through the clipboard: the
// file list (and the local names its paths become), Unicode and 8-bit text, the HTML header,
// DIB and PNG pictures, and a format list made of the bytes. Checks that a name never leaves
// its folder and that what is accepted stays within the bounds.
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QtEndian>

#include "principal/rdp/session/clipboard/clipfilelist.h"
#include "principal/rdp/session/clipboard/clipformats.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/clippicture.h"
#include "principal/rdp/session/clipboard/cliptext.h"

namespace {

void CheckFileList(const QByteArray& data) {
  const TFileListResult list = ParseFileList(data);
  if (list.error != FileListError::None && !list.files.empty()) abort();
  if (list.files.size() > kMaxClipFiles) abort();
  for (const TClipFile& file : list.files) {
    if (file.path.isEmpty() || file.path.size() > kMaxClipPathUnits) abort();
    for (const QString& part : SafeLocalParts(file.path)) {
      if (part.isEmpty() || part == u"." || part == u".." || part.contains(u'/') ||
          part.contains(QChar(0)) || part.toUtf8().size() > kMaxLocalNameBytes)
        abort();
    }
  }
}

void CheckFormats(const QByteArray& data) {
  // Entries of a 4-byte number, a 1-byte name length and the name in UTF-8.
  std::vector<TClipFormat> formats;
  qsizetype at = 0;
  while (at + 5 <= data.size()) {
    const quint32 id = qFromLittleEndian<quint32>(data.constData() + at);
    const int length = static_cast<unsigned char>(data.at(at + 4));
    at += 5;
    formats.push_back({id, QString::fromUtf8(data.mid(at, length))});
    at += length;
  }
  const TRemoteOffer offer = OfferFromFormats(formats);
  for (const std::uint32_t id : {offer.text, offer.html, offer.picture, offer.files}) {
    if (id == 0) continue;
    bool listed = false;
    for (const TClipFormat& f : formats) listed = listed || f.id == id;
    if (!listed) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  const QByteArray data(reinterpret_cast<const char*>(bytes) + 1, static_cast<qsizetype>(size - 1));
  switch (bytes[0] % 6) {
    case 0:
      CheckFileList(data);
      break;
    case 1:
      (void)LocalFromUnicodeText(data);
      (void)LocalFromAnsiText(data, false);
      (void)LocalFromAnsiText(data, true);
      break;
    case 2:
      (void)LocalFromHtmlFormat(data);
      break;
    case 3:
      if (const auto image = PictureFromDib(data)) {
        if (image->width() > kMaxPictureSide || image->height() > kMaxPictureSide) abort();
      }
      break;
    case 4:
      (void)PictureFromPng(data);
      break;
    case 5:
      CheckFormats(data);
      break;
  }
  return 0;
}
