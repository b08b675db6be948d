#include "principal/rdp/session/clipboard/clipfilelist.h"

#include <QtEndian>

#include "principal/rdp/session/clipboard/cliplimits.h"

namespace {

constexpr int kDescriptorSize = 592;
constexpr int kNameOffset = 72;
constexpr int kNameUnits = 260;
constexpr quint32 kFdAttributes = 0x00000004;
constexpr quint32 kFdWritesTime = 0x00000020;
constexpr quint32 kFdFileSize = 0x00000040;
constexpr quint32 kFdProgressUi = 0x00004000;
constexpr quint32 kFdUnicode = 0x80000000;
constexpr quint32 kAttributeDirectory = 0x00000010;
constexpr quint32 kAttributeNormal = 0x00000080;
// FILETIME counts 100 ns steps from 1601-01-01; Unix time starts 11644473600 s later.
constexpr qint64 kFileTimeEpochOffsetSeconds = 11644473600ll;

QDateTime FromFileTime(quint64 ticks) {
  const qint64 msecs = static_cast<qint64>(ticks / 10000) - kFileTimeEpochOffsetSeconds * 1000;
  return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

quint64 ToFileTime(const QDateTime& time) {
  const qint64 msecs = time.toMSecsSinceEpoch() + kFileTimeEpochOffsetSeconds * 1000;
  return msecs < 0 ? 0 : static_cast<quint64>(msecs) * 10000;
}

// Cuts a name to the local limit in UTF-8 bytes, keeping a short extension and whole characters.
QString CutName(const QString& name) {
  if (name.toUtf8().size() <= kMaxLocalNameBytes) return name;
  const qsizetype dot = name.lastIndexOf(u'.');
  QString extension = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
  QString stem = name.left(name.size() - extension.size());
  const int room = kMaxLocalNameBytes - static_cast<int>(extension.toUtf8().size());
  while (!stem.isEmpty() && stem.toUtf8().size() > room) {
    stem.chop(1);
    if (!stem.isEmpty() && stem.back().isHighSurrogate()) stem.chop(1);
  }
  return stem + extension;
}

}  // namespace

TFileListResult ParseFileList(const QByteArray& data) {
  TFileListResult result;
  if (data.size() < 4) {
    result.error = FileListError::Short;
    return result;
  }
  const quint32 count = qFromLittleEndian<quint32>(data.constData());
  if (count > kMaxClipFiles) {
    result.error = FileListError::TooMany;
    return result;
  }
  if (static_cast<quint64>(data.size()) < 4 + static_cast<quint64>(count) * kDescriptorSize) {
    result.error = FileListError::Length;
    return result;
  }
  result.files.reserve(count);
  for (quint32 i = 0; i < count; ++i) {
    const char* d = data.constData() + 4 + static_cast<qsizetype>(i) * kDescriptorSize;
    const quint32 flags = qFromLittleEndian<quint32>(d);
    const quint32 attributes = qFromLittleEndian<quint32>(d + 36);
    const quint64 writeTime = qFromLittleEndian<quint64>(d + 56);
    const quint64 sizeHigh = qFromLittleEndian<quint32>(d + 64);
    const quint64 sizeLow = qFromLittleEndian<quint32>(d + 68);
    QString name;
    int units = 0;
    for (; units < kNameUnits; ++units) {
      const char16_t unit = qFromLittleEndian<char16_t>(d + kNameOffset + 2 * units);
      if (unit == 0) break;
      name += QChar(unit);
    }
    if (units == kNameUnits || units == 0) {
      result.files.clear();
      result.error = FileListError::Name;
      return result;
    }
    TClipFile file;
    file.path = name;
    file.directory = (flags & kFdAttributes) != 0 && (attributes & kAttributeDirectory) != 0;
    file.sizeKnown = (flags & kFdFileSize) != 0;
    if (file.sizeKnown) file.size = (sizeHigh << 32) | sizeLow;
    if ((flags & kFdWritesTime) != 0) file.lastWrite = FromFileTime(writeTime);
    result.files.push_back(std::move(file));
  }
  return result;
}

QByteArray BuildFileList(const std::vector<TClipFile>& files) {
  QByteArray data(4 + static_cast<qsizetype>(files.size()) * kDescriptorSize, '\0');
  qToLittleEndian<quint32>(static_cast<quint32>(files.size()), data.data());
  for (size_t i = 0; i < files.size(); ++i) {
    const TClipFile& file = files[i];
    char* d = data.data() + 4 + static_cast<qsizetype>(i) * kDescriptorSize;
    quint32 flags = kFdAttributes | kFdFileSize | kFdProgressUi | kFdUnicode;
    if (file.lastWrite.isValid()) flags |= kFdWritesTime;
    qToLittleEndian<quint32>(flags, d);
    qToLittleEndian<quint32>(file.directory ? kAttributeDirectory : kAttributeNormal, d + 36);
    if (file.lastWrite.isValid()) qToLittleEndian<quint64>(ToFileTime(file.lastWrite), d + 56);
    const quint64 size = file.directory ? 0 : file.size;
    qToLittleEndian<quint32>(static_cast<quint32>(size >> 32), d + 64);
    qToLittleEndian<quint32>(static_cast<quint32>(size & 0xFFFFFFFFu), d + 68);
    const qsizetype units = std::min<qsizetype>(file.path.size(), kMaxClipPathUnits);
    for (qsizetype u = 0; u < units; ++u)
      qToLittleEndian<char16_t>(file.path.at(u).unicode(), d + kNameOffset + 2 * u);
  }
  return data;
}

QStringList SafeLocalParts(const QString& remotePath) {
  QStringList parts;
  for (const QString& raw : remotePath.split(u'\\')) {
    QString part;
    part.reserve(raw.size());
    for (const QChar c : raw) part += (c == u'/' || c.unicode() < 0x20 || c == u'\x7f') ? u'_' : c;
    if (part.isEmpty() || part == u"." || part == u"..") part = QStringLiteral("_");
    parts << CutName(part);
  }
  return parts;
}
