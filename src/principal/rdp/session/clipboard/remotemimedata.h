#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QMimeData>
#include <QPointer>
#include <QVariant>

#include "principal/rdp/session/clipboard/clipformats.h"

class TRdpClipboard;

// What the remote side copied, standing in the local clipboard: the types are known at once, the
// data is asked of the server only when a local program pastes, and kept for the next paste.
class TRemoteMimeData : public QMimeData {
  Q_OBJECT

 public:
  TRemoteMimeData(TRdpClipboard* owner, const TRemoteOffer& offer);

  [[nodiscard]] const TRemoteOffer& Offer() const { return offer_; }
  [[nodiscard]] QStringList formats() const override;
  [[nodiscard]] bool hasFormat(const QString& mimeType) const override;

 protected:
  [[nodiscard]] QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

 private:
  [[nodiscard]] QVariant Fetch(const QString& mimeType) const;
  // The fetched value in the form the asked type wants (PNG bytes, a URI list, ...).
  [[nodiscard]] static QVariant Shape(const QString& mimeType, const QString& key,
                                      const QVariant& value);

  QPointer<TRdpClipboard> owner_;
  TRemoteOffer offer_;
  mutable QHash<QString, QVariant> cache_;
  // Types that came to nothing a moment ago, until when they are not asked for again.
  mutable QHash<QString, QDeadlineTimer> failedAt_;
};
