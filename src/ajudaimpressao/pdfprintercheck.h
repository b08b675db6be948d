#pragma once

#include <QString>
#include <QStringList>

// Whether the PDF printer that printing from the remote desktop relies on is installed here.

// A printer counts only when its whole name is "pdfcreator" in any mix of upper and lower case
// A-Z; other letters are compared as they are, so a blank, a suffix or a server prefix misses.
[[nodiscard]] bool IsPdfCreatorName(const QString& printerName);

// The current user's printers, taken from CUPS at the first use in this run and then kept: a
// printer added or removed later is seen after the program has been started again.
[[nodiscard]] const QStringList& PrinterList();

// Whether any printer of the list is the PDF printer.
[[nodiscard]] bool PdfCreatorInstalled();

inline constexpr char16_t kPdfCreatorName[] = u"pdfcreator";
inline constexpr char16_t kPdfCreatorInstalledMessage[] =
    u"O PDF Creator está instalado corretamente";
inline constexpr char16_t kConfirmCaption[] = u"Confirm";
inline constexpr char16_t kYesButton[] = u"&Yes";
inline constexpr char16_t kNoButton[] = u"&No";
// Four lines joined by a lone carriage return.
inline constexpr char16_t kInstallPdfCreatorQuestion[] =
    u"Para que as suas impressões funcionem é necessário instalar o PDF Creator.\r"
    u"Através dele todas as impressões serão salvas diretamente no seu computador.\r"
    u"Caso não seja instalado, não será possível imprimir.\r"
    u"Deseja instalar?";
