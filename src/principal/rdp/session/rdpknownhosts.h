#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

// The server certificates the person trusted by answering "Sim", in the program's own
// configuration folder (known_hosts2), one line each:
//   HOST PORT SHA256-FINGERPRINT [SUBJECT ISSUER]
// the layout FreeRDP's own file has, so that one written by an earlier version of this program
// reads as it was. The file may have been damaged or written by a later version: a line that
// cannot be read is kept as it is, and only the line of the host and port being remembered is
// ever replaced.
class TKnownHosts {
 public:
  // Reads the text of the file; never fails (unreadable lines are kept, not used).
  [[nodiscard]] static TKnownHosts Parse(const QByteArray& text);
  // Reads the file; an absent one is empty. A file too large to be ours is not used and is never
  // written over (Save refuses).
  [[nodiscard]] static TKnownHosts Load(const QString& path);

  // The fingerprint remembered for host and port (host names compare without case).
  [[nodiscard]] std::optional<QString> Fingerprint(const QString& host, int port) const;
  // Remembers fingerprint for host and port, in place of the one there was.
  void Remember(const QString& host, int port, const QString& fingerprint);
  // The text of the file, unreadable lines as they came.
  [[nodiscard]] QByteArray Text() const;

  // Writes the file at once or not at all (a new file renamed over the old one), readable by its
  // owner only, in a folder only its owner can enter.
  [[nodiscard]] bool Save(const QString& path) const;

  // Whether text is a SHA-256 fingerprint as FreeRDP writes them: 32 bytes in hexadecimal,
  // separated by colons.
  [[nodiscard]] static bool ValidFingerprint(const QByteArray& text);

 private:
  struct Entry {
    QString host;  // lower case
    int port = 0;
    QString fingerprint;  // lower case
  };
  struct Line {
    QByteArray text;
    std::optional<Entry> entry;  // nothing for a line kept only as text
  };
  std::vector<Line> lines_;
  bool tooLarge_ = false;
};

// The largest file read; ours holds a line of about 250 bytes per server.
inline constexpr qint64 kMaxKnownHostsBytes = 1024 * 1024;
