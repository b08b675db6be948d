#include "ajudaimpressao/pdfprintercheck.h"

#include "platform/printers.h"

bool IsPdfCreatorName(const QString& printerName) {
  QString lowered = printerName;
  for (QChar& c : lowered) {
    if (c >= u'A' && c <= u'Z') c = QChar(c.unicode() + (u'a' - u'A'));
  }
  return lowered == QStringView(kPdfCreatorName);
}

const QStringList& PrinterList() {
  static const QStringList printers = [] {
    QStringList names;
    for (const TPrinterInfo& printer : CurrentUserPrinters()) names << printer.name;
    return names;
  }();
  return printers;
}

bool PdfCreatorInstalled() {
  bool found = false;
  for (const QString& name : PrinterList()) {
    if (IsPdfCreatorName(name)) found = true;
  }
  return found;
}
