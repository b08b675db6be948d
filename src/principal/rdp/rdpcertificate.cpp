#include "principal/rdp/rdpcertificate.h"

#include <arpa/inet.h>
#include <freerdp/crypto/certificate.h>
#include <freerdp/crypto/crypto.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "providerca.h"

namespace {

// A PEM certificate is a few kilobytes; a server sending far more is not sending one.
constexpr size_t kMaxPemBytes = 64 * 1024;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr ParsePem(const void* data, size_t length) {
  if (data == nullptr || length == 0 || length > kMaxPemBytes) return nullptr;
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(data, static_cast<int>(length)));
  if (!bio) return nullptr;
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

QString TakeText(char* text) {
  // FreeRDP hands out malloc'd strings.
  QString result = text != nullptr ? QString::fromUtf8(text) : QString();
  std::free(text);
  return result;
}

}  // namespace

std::optional<ServerCertificate> ReadServerCertificate(const BYTE* pem, size_t length) {
  X509Ptr cert = ParsePem(pem, length);
  if (!cert) return std::nullopt;
  ServerCertificate facts;
  facts.subject = TakeText(crypto_cert_subject(cert.get()));
  facts.issuer = TakeText(crypto_cert_issuer(cert.get()));
  facts.fingerprint = TakeText(crypto_cert_fingerprint_by_hash(cert.get(), "sha256"));
  if (facts.fingerprint.isEmpty()) return std::nullopt;
  return facts;
}

bool HasProviderAuthority() {
  return !std::string_view(kProviderCaPem).empty();
}

bool VerifiedByProviderAuthority(const BYTE* pem, size_t length, const QString& host) {
  if (!HasProviderAuthority() || host.isEmpty()) return false;
  X509Ptr cert = ParsePem(pem, length);
  if (!cert) return false;

  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (!store) return false;
  // The authority's file may hold more than one certificate (a root and its intermediates).
  const std::string_view authority(kProviderCaPem);
  std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(authority.data(), static_cast<int>(authority.size())));
  if (!bio) return false;
  int added = 0;
  while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store.get(), ca) == 1) ++added;
    X509_free(ca);
  }
  if (added == 0) return false;

  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store.get(), cert.get(), nullptr) != 1)
    return false;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  QString name = host;
  if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
    name = name.mid(1, name.size() - 2);
  const QByteArray nameBytes = name.toUtf8();
  // An address is checked against the certificate's IP entries, a name against its DNS names.
  unsigned char address[16];
  const bool isAddress = inet_pton(AF_INET, nameBytes.constData(), address) == 1 ||
                         inet_pton(AF_INET6, nameBytes.constData(), address) == 1;
  const int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, nameBytes.constData())
                              : X509_VERIFY_PARAM_set1_host(param, nameBytes.constData(),
                                                            static_cast<size_t>(nameBytes.size()));
  if (named != 1) return false;
  return X509_verify_cert(context.get()) == 1;
}

bool RememberServerCertificate(rdpSettings* settings, const BYTE* pem, size_t length,
                               const char* host, UINT16 port) {
  X509Ptr cert = ParsePem(pem, length);
  if (!cert || host == nullptr) return false;
  rdpCertificateStore* store = certificate_store_new(settings);
  if (store == nullptr) return false;
  rdpCertificateData* data = crypto_get_certificate_data(cert.get(), host, port);
  bool stored = false;
  if (data != nullptr) {
    // Replace an entry for the host if there is one, else add one.
    stored = certificate_data_match(store, data) == 1
                 ? certificate_data_print(store, data) != FALSE
                 : certificate_data_replace(store, data) != FALSE;
    certificate_data_free(data);
  }
  certificate_store_free(store);
  return stored;
}
