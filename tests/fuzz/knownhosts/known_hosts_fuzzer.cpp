// Reads any bytes as the remembered certificates file, remembers a server into it and checks
// what a rewrite keeps: every line that was there, except those of the server remembered.
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "principal/rdp/session/rdpknownhosts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  TKnownHosts hosts = TKnownHosts::Parse(text);
  (void)hosts.Fingerprint(QStringLiteral("rdp.example.com"), 3389);
  // Unchanged, the text comes back as it was (with a final newline).
  QByteArray expected = text;
  if (!expected.isEmpty() && !expected.endsWith('\n')) expected += '\n';
  if (hosts.Text() != expected) std::abort();

  const QString fingerprint = QStringLiteral(
      "3a:9f:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:01:23:45:67:89:ab:cd:ef:10:32:54:76:"
      "98:ba");
  hosts.Remember(QStringLiteral("rdp.example.com"), 3389, fingerprint);
  if (hosts.Fingerprint(QStringLiteral("RDP.example.com"), 3389) != fingerprint) std::abort();
  // Every line of the input that names another server is still there.
  const QByteArray written = hosts.Text();
  for (const QByteArray& line : text.split('\n')) {
    const bool replaced =
        TKnownHosts::Parse(line).Fingerprint(QStringLiteral("rdp.example.com"), 3389).has_value();
    if (!line.isEmpty() && !replaced && !written.contains(line)) std::abort();
  }
  return 0;
}
