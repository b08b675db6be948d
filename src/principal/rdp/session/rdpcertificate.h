#pragma once

#include <freerdp/freerdp.h>

#include <QString>
#include <QStringList>
#include <cstddef>
#include <optional>

// The server certificate as FreeRDP hands it to us (PEM), and what we can say about it.
// Private to the control: FreeRDP and OpenSSL types.

struct TServerCertificate {
  QString subject;
  QString issuer;
  QString fingerprint;  // SHA-256, colon-separated hex, as FreeRDP writes it
};

// Reads one PEM certificate; nothing when the bytes are not one.
[[nodiscard]] std::optional<TServerCertificate> ReadServerCertificate(const BYTE* pem,
                                                                      size_t length);

// The server's PEM holds its certificate and the chain it sent after it. Whether that
// certificate is valid now, chains to a trusted authority and names host (a host name or an IP
// literal): to the provider's authority fixed at build time (always false when the build names
// none), or to the system's trusted authorities (the OpenSSL store, /etc/ssl/certs).
[[nodiscard]] bool VerifiedByProviderAuthority(const BYTE* pem, size_t length, const QString& host);
[[nodiscard]] bool VerifiedBySystemAuthorities(const BYTE* pem, size_t length, const QString& host);
[[nodiscard]] bool HasProviderAuthority();

// Whether host is one of domains or inside one (a name, never an IP literal).
[[nodiscard]] bool HostInsideDomains(const QString& host, const QStringList& domains);
