#pragma once

#include <freerdp/freerdp.h>

#include <QString>
#include <cstddef>
#include <optional>

// The server certificate as FreeRDP hands it to us (PEM), and what we can say about it.
// Private to the control: FreeRDP and OpenSSL types.

struct ServerCertificate {
  QString subject;
  QString issuer;
  QString fingerprint;  // SHA-256, colon-separated hex, as FreeRDP writes it
};

// Reads one PEM certificate; nothing when the bytes are not one.
[[nodiscard]] std::optional<ServerCertificate> ReadServerCertificate(const BYTE* pem,
                                                                     size_t length);

// Whether the certificate chains to the provider's authority fixed at build time and names
// host (a host name or an IP literal). Always false when the build names no authority.
[[nodiscard]] bool VerifiedByProviderAuthority(const BYTE* pem, size_t length, const QString& host);
[[nodiscard]] bool HasProviderAuthority();

// Stores the certificate for host:port in the connection's own known-hosts store (under its
// configuration folder), so the next connection takes it without a question.
[[nodiscard]] bool RememberServerCertificate(rdpSettings* settings, const BYTE* pem, size_t length,
                                             const char* host, UINT16 port);
