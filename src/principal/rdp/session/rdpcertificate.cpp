#include "principal/rdp/session/rdpcertificate.h"

#include <arpa/inet.h>
#include <freerdp/crypto/crypto.h>
#include <openssl/bio.h>
#include <openssl/err.h>
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

std::optional<TServerCertificate> ReadServerCertificate(const BYTE* pem, size_t length) {
  X509Ptr cert = ParsePem(pem, length);
  if (!cert) return std::nullopt;
  TServerCertificate facts;
  facts.subject = TakeText(crypto_cert_subject(cert.get()));
  facts.issuer = TakeText(crypto_cert_issuer(cert.get()));
  facts.fingerprint = TakeText(crypto_cert_fingerprint_by_hash(cert.get(), "sha256"));
  if (facts.fingerprint.isEmpty()) return std::nullopt;
  return facts;
}

bool HasProviderAuthority() {
  return !std::string_view(kProviderCaPem).empty();
}

namespace {

struct StackFree {
  void operator()(STACK_OF(X509) * chain) const { sk_X509_pop_free(chain, X509_free); }
};
using ChainPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

// The certificates after the first in a PEM: the chain the server sent, untrusted.
ChainPtr ParseChain(const void* data, size_t length) {
  ChainPtr chain(sk_X509_new_null());
  if (!chain || data == nullptr || length == 0 || length > kMaxPemBytes) return chain;
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(data, static_cast<int>(length)));
  if (!bio) return chain;
  X509Ptr first(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  // A server sends a handful; more is not a chain.
  constexpr int kMaxChain = 16;
  while (first && sk_X509_num(chain.get()) < kMaxChain) {
    X509* next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (next == nullptr) break;
    if (sk_X509_push(chain.get(), next) == 0) {
      X509_free(next);
      break;
    }
  }
  ERR_clear_error();  // the end of the PEM reads as an error
  return chain;
}

QString BareHost(const QString& host) {
  if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
    return host.mid(1, host.size() - 2);
  return host;
}

bool IsAddress(const QByteArray& name) {
  unsigned char address[16];
  return inet_pton(AF_INET, name.constData(), address) == 1 ||
         inet_pton(AF_INET6, name.constData(), address) == 1;
}

// Verifies the certificate of pem against store for host, as a TLS server's.
bool Verify(X509_STORE* store, const BYTE* pem, size_t length, const QString& host) {
  if (host.isEmpty()) return false;
  X509Ptr cert = ParsePem(pem, length);
  if (!cert) return false;
  ChainPtr chain = ParseChain(pem, length);
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store, cert.get(), chain.get()) != 1)
    return false;
  if (X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER) != 1) return false;
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  const QByteArray name = BareHost(host).toUtf8();
  // An address is checked against the certificate's IP entries, a name against its DNS names.
  const int named = IsAddress(name) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.constData())
                                    : X509_VERIFY_PARAM_set1_host(param, name.constData(),
                                                                  static_cast<size_t>(name.size()));
  if (named != 1) return false;
  const bool verified = X509_verify_cert(context.get()) == 1;
  ERR_clear_error();
  return verified;
}

}  // namespace

bool VerifiedByProviderAuthority(const BYTE* pem, size_t length, const QString& host) {
  if (!HasProviderAuthority()) return false;
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
  ERR_clear_error();
  return added > 0 && Verify(store.get(), pem, length, host);
}

bool VerifiedBySystemAuthorities(const BYTE* pem, size_t length, const QString& host) {
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  // Only the system's store: nothing under the program's or FreeRDP's folders, which a
  // redirected drive could reach.
  if (!store || X509_STORE_set_default_paths(store.get()) != 1) return false;
  return Verify(store.get(), pem, length, host);
}

bool HostInsideDomains(const QString& host, const QStringList& domains) {
  QString name = BareHost(host).toLower();
  if (name.endsWith(QLatin1Char('.'))) name.chop(1);
  if (name.isEmpty() || IsAddress(name.toUtf8())) return false;
  for (QString domain : domains) {
    domain = domain.toLower();
    if (domain.isEmpty()) continue;
    if (name == domain || name.endsWith(QLatin1Char('.') + domain)) return true;
  }
  return false;
}
