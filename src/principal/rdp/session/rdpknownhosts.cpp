#include "principal/rdp/session/rdpknownhosts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A line longer than this is not one of ours; it is kept, not read.
constexpr qsizetype kMaxLineBytes = 8192;
constexpr qsizetype kFingerprintBytes = 32;
constexpr qsizetype kMaxHostLength = 253;

std::optional<int> ReadPort(const QByteArray& text) {
  bool ok = false;
  const int port = text.toInt(&ok);
  if (!ok || port < 1 || port > 65535 || text.startsWith('+') || text.startsWith('0'))
    return std::nullopt;
  return port;
}

bool ValidHost(const QByteArray& host) {
  if (host.isEmpty() || host.size() > kMaxHostLength) return false;
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == ':';  // ':' for IPv6 literals
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool TKnownHosts::ValidFingerprint(const QByteArray& text) {
  if (text.size() != kFingerprintBytes * 3 - 1) return false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

TKnownHosts TKnownHosts::Parse(const QByteArray& text) {
  TKnownHosts hosts;
  const QList<QByteArray> lines = text.split('\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QByteArray& raw = lines[i];
    // The text ends with a newline: the empty piece after it is not a line.
    if (i == lines.size() - 1 && raw.isEmpty()) break;
    Line line{raw, std::nullopt};
    if (raw.size() <= kMaxLineBytes && !raw.startsWith('#')) {
      const QList<QByteArray> fields = raw.trimmed().split(' ');
      if (fields.size() >= 3 && ValidHost(fields[0]) && ValidFingerprint(fields[2])) {
        if (const auto port = ReadPort(fields[1]))
          line.entry = Entry{QString::fromLatin1(fields[0]).toLower(), *port,
                             QString::fromLatin1(fields[2]).toLower()};
      }
    }
    hosts.lines_.push_back(std::move(line));
  }
  return hosts;
}

TKnownHosts TKnownHosts::Load(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray text = file.read(kMaxKnownHostsBytes + 1);
  if (text.size() > kMaxKnownHostsBytes) {
    TKnownHosts hosts;
    hosts.tooLarge_ = true;
    return hosts;
  }
  return Parse(text);
}

std::optional<QString> TKnownHosts::Fingerprint(const QString& host, int port) const {
  const QString wanted = host.toLower();
  for (const Line& line : lines_)
    if (line.entry && line.entry->host == wanted && line.entry->port == port)
      return line.entry->fingerprint;
  return std::nullopt;
}

void TKnownHosts::Remember(const QString& host, int port, const QString& fingerprint) {
  const Entry entry{host.toLower(), port, fingerprint.toLower()};
  const QByteArray text =
      entry.host.toLatin1() + ' ' + QByteArray::number(port) + ' ' + entry.fingerprint.toLatin1();
  bool replaced = false;
  for (auto it = lines_.begin(); it != lines_.end();) {
    if (it->entry && it->entry->host == entry.host && it->entry->port == port) {
      if (replaced) {
        it = lines_.erase(it);  // one line per server
        continue;
      }
      *it = Line{text, entry};
      replaced = true;
    }
    ++it;
  }
  if (!replaced) lines_.push_back(Line{text, entry});
}

QByteArray TKnownHosts::Text() const {
  QByteArray text;
  for (const Line& line : lines_) text += line.text + '\n';
  return text;
}

bool TKnownHosts::Save(const QString& path) const {
  if (tooLarge_) return false;
  const QString folder = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(folder)) return false;
  // The folder holds what decides whom the password goes to: nobody else may add to it.
  if (!QFile::setPermissions(
          folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
    return false;
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
    file.cancelWriting();
    return false;
  }
  const QByteArray text = Text();
  if (file.write(text) != text.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
}
