#include "service/endpoints.h"

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
