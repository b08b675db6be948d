#pragma once

#include <QStringList>

// The provider's web endpoints. The host names are chosen when the program is built
// (ZENTRA_LOGIN_HOST, ZENTRA_LOGIN2_HOST, ZENTRA_WEB_HOST); nothing is read at run time.
// Every address is one constant; the lookups append the user key unchanged.

// Lookup of the user's remote desktop server: "http://" host ":52/app/login.php?usuario=".
extern const char* const kLookupUrl;
// The same lookup through the alternative route ("Rota Alternativa").
extern const char* const kLookupUrlAlternative;

// The provider's web host name alone (the support button hands "http://" + it to the browser).
extern const char* const kWebHost;
// The provider's web host: support site (handed to the browser) and the two downloads.
extern const char* const kSupportUrl;
extern const char* const kPdfInstallerUrl;
extern const char* const kUpdaterUrlX64;
extern const char* const kUpdaterUrlX32;

// Where the downloads are written, in the current directory.
extern const char* const kPdfInstallerFileName;
extern const char* const kUpdaterFileName;

// The provider's own registrable domains: those of the lookup hosts and the web host (by the
// public suffix list, so "login.example.com.br" gives "example.com.br"), each once. A server
// inside one of them may be vouched for by the system's certificate authorities.
[[nodiscard]] QStringList ProviderDomains();
