#include "service/endpoints.h"

#include <libpsl.h>

// Literal concatenation keeps each address a compile-time constant of its own.
const char* const kLookupUrl = "http://" ZENTRA_LOGIN_HOST ":52/app/login.php?usuario=";
const char* const kLookupUrlAlternative = "http://" ZENTRA_LOGIN2_HOST ":52/app/login.php?usuario=";

const char* const kWebHost = ZENTRA_WEB_HOST;
const char* const kSupportUrl = "http://" ZENTRA_WEB_HOST;
const char* const kPdfInstallerUrl = "http://" ZENTRA_WEB_HOST "/ferramentas/pdf.exe";
const char* const kUpdaterUrlX64 = "http://" ZENTRA_WEB_HOST "/remoto/update/x64/atualiza.exe";
const char* const kUpdaterUrlX32 = "http://" ZENTRA_WEB_HOST "/remoto/update/x32/atualiza.exe";

const char* const kPdfInstallerFileName = "pdf.exe";
const char* const kUpdaterFileName = "atualiza.exe";

QStringList ProviderDomains() {
  static const psl_ctx_t* const list = psl_latest(nullptr);
  QStringList domains;
  for (const char* host : {ZENTRA_LOGIN_HOST, ZENTRA_LOGIN2_HOST, ZENTRA_WEB_HOST}) {
    const QByteArray name = QByteArray(host).toLower();
    // A host that is itself a public suffix, or none at all, gives no domain.
    const char* domain = list != nullptr ? psl_registrable_domain(list, name.constData()) : nullptr;
    if (domain != nullptr && !domains.contains(QString::fromUtf8(domain)))
      domains << QString::fromUtf8(domain);
  }
  return domains;
}
