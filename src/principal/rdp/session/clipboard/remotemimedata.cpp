#include "principal/rdp/session/clipboard/remotemimedata.h"

#include <QImage>
#include <QUrl>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/clippicture.h"
#include "principal/rdp/session/clipboard/cliptext.h"
#include "principal/rdp/session/clipboard/rdpclipboard.h"

TRemoteMimeData::TRemoteMimeData(TRdpClipboard* owner, const TRemoteOffer& offer)
    : owner_(owner), offer_(offer) {}

QStringList TRemoteMimeData::formats() const {
  return offer_.MimeTypes();
}

bool TRemoteMimeData::hasFormat(const QString& mimeType) const {
  return formats().contains(mimeType);
}

QVariant TRemoteMimeData::retrieveData(const QString& mimeType, QMetaType type) const {
  Q_UNUSED(type);
  // Text types share one answer, pictures another, file lists a third.
  QString key = mimeType;
  if (mimeType == kMimeTextUtf8) key = kMimeText;
  if (mimeType == kMimeQtImage || mimeType == kMimePng) key = kMimeQtImage;
  if (mimeType == kMimeGnomeFiles || mimeType == kMimeUriList) key = kMimeUriList;
  QVariant value = cache_.value(key);
  // A program that asks for several types of one kind (Qt's text() asks for UTF-8 text, then
  // plain text) must not wait once per type for a server that did not answer.
  const auto failed = failedAt_.constFind(key);
  if (!value.isValid() && failed != failedAt_.cend() && !failed->hasExpired()) return {};
  if (!value.isValid()) {
    // A paste of files runs the event loop; another program may take the clipboard meanwhile,
    // and Qt then deletes us. What was fetched is still handed to the program that asked.
    const QPointer<const TRemoteMimeData> alive(this);
    value = Fetch(key);
    if (!value.isValid()) {
      if (alive) failedAt_.insert(key, QDeadlineTimer(kClipDataTimeout));
      return {};
    }
    if (alive) cache_.insert(key, value);
  }
  return Shape(mimeType, key, value);
}

QVariant TRemoteMimeData::Shape(const QString& mimeType, const QString& key,
                                const QVariant& value) {
  if (key == kMimeQtImage && mimeType == kMimePng)
    return PngFromPicture(qvariant_cast<QImage>(value));
  if (key == kMimeUriList) {
    const QStringList paths = value.toStringList();
    QByteArray list;
    if (mimeType == kMimeGnomeFiles) list = "copy";
    for (const QString& path : paths) {
      if (mimeType == kMimeGnomeFiles) list += '\n';
      list += QUrl::fromLocalFile(path).toEncoded();
      if (mimeType == kMimeUriList) list += "\r\n";
    }
    return list;
  }
  return value;
}

QVariant TRemoteMimeData::Fetch(const QString& key) const {
  if (owner_.isNull()) return {};
  // One time limit for the whole paste, however many formats are tried.
  const QDeadlineTimer deadline(kClipDataTimeout);
  if (key == kMimeText) {
    for (const std::uint32_t id : offer_.texts) {
      if (owner_.isNull() || deadline.hasExpired()) return {};
      const auto data = owner_->RequestData(id, deadline);
      if (!data) continue;
      const auto text = id == kCfUnicodeText ? LocalFromUnicodeText(*data)
                                             : LocalFromAnsiText(*data, id == kCfOemText);
      if (text) return *text;
    }
    return {};
  }
  if (key == kMimeHtml && offer_.html != 0) {
    const auto data = owner_->RequestData(offer_.html, deadline);
    const auto html = data ? LocalFromHtmlFormat(*data) : std::nullopt;
    return html ? QVariant(*html) : QVariant();
  }
  if (key == kMimeQtImage) {
    for (const std::uint32_t id : offer_.pictures) {
      if (owner_.isNull() || deadline.hasExpired()) return {};
      const auto data = owner_->RequestData(id, deadline);
      if (!data) continue;
      const auto image =
          id == kCfDib || id == kCfDibV5 ? PictureFromDib(*data) : PictureFromPng(*data);
      if (image) return *image;
      qCWarning(lcRdp) << "clipboard: refused the server's picture in format" << id << "of"
                       << data->size() << "bytes";
    }
    return {};
  }
  if (key == kMimeUriList && offer_.files != 0) {
    const QStringList paths = owner_->PasteFiles(offer_.files);
    return paths.isEmpty() ? QVariant() : QVariant(paths);
  }
  return {};
}
