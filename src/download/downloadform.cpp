#include "download/downloadform.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QUrl>
#include <algorithm>
#include <limits>

#include "shell/application.h"

namespace {

QString& WebAddressOverride() {
  static QString address;
  return address;
}

// The bar's range is an int; a body of 2 GiB or more keeps the bar full rather than wrapping to
// a negative count.
int BarValue(qint64 count) {
  return static_cast<int>(std::clamp<qint64>(count, 0, std::numeric_limits<int>::max()));
}

}  // namespace

TDownloadForm::TDownloadForm() : TForm(13) {}

TDownloadForm::~TDownloadForm() = default;

void TDownloadForm::SetWebAddressForTest(const QString& schemeAndAuthority) {
  WebAddressOverride() = schemeAndAuthority;
}

QString TDownloadForm::WithWebAddress(const char* builtUrl) {
  const QString url = QString::fromLatin1(builtUrl);
  if (WebAddressOverride().isEmpty()) return url;
  return WebAddressOverride() + QUrl(url).path(QUrl::FullyEncoded);
}

void TDownloadForm::SetupDownload(QProgressBar* progressBar) {
  ProgressBar1 = progressBar;
  Http1 = new THttpTransfer(this);
  Http1->Accept = QString::fromLatin1(kAcceptProgram);
  Http1->CallDeadline = kDownloadDeadline;
  Http1->OnWorkBegin = [this](THttpTransfer* sender, TWorkMode mode, qint64 max) {
    Http1WorkBegin(sender, mode, max);
  };
  Http1->OnWork = [this](THttpTransfer* sender, TWorkMode mode, qint64 count) {
    Http1Work(sender, mode, count);
  };
  Http1->OnWorkEnd = [this](THttpTransfer* sender, TWorkMode mode) { Http1WorkEnd(sender, mode); };
  Timer1 = new TTimer(this, kStartDelayMs, false);
  Timer1->OnTimer = [this] { Timer1Timer(); };
  Timer2 = new TTimer(this, kWatchIntervalMs, false);
  Timer2->OnTimer = [this] { Timer2Timer(); };
  OnShow = [this] { FormShow(); };
}

void TDownloadForm::FormShow() {
  Timer1->SetEnabled(true);
}

void TDownloadForm::Timer1Timer() {
  Timer1->SetEnabled(false);
  Timer2->SetEnabled(true);
  ProgressBar1->setValue(0);

  transfer_ = TTransfer::Running;
  // A folder of its own for this download, never the working directory: a link or a file of
  // the same name planted there must not be written through or run. The file is later started
  // by its full path, never by a bare name that a search could resolve to a namesake elsewhere.
  QFile file;
  QString error;
  if (!CreateDownloadFile(FileName(), file, writtenPath_, error)) {
    transfer_ = TTransfer::Failed;
    throw EFCreateError(
        QString::fromUtf16(kCannotCreateFile).arg(QDir::toNativeSeparators(writtenPath_), error));
  }
  try {
    Http1->Get(DownloadUrl(), file);
  } catch (const EHttpBodyIncomplete& e) {
    // A program cut short must not run; the person reads why in the window's own words.
    file.close();
    transfer_ = TTransfer::Failed;
    throw EDownloadIncomplete(
        QString::fromUtf16(kDownloadIncomplete).arg(e.Received()).arg(e.Announced()));
  } catch (...) {
    file.close();
    transfer_ = TTransfer::Failed;
    throw;
  }
  file.close();
  transfer_ = TTransfer::Succeeded;
}

void TDownloadForm::Http1WorkBegin(THttpTransfer* /*sender*/, TWorkMode /*mode*/,
                                   qint64 workCountMax) {
  announced_ = workCountMax;
  // No stated length: an empty bar (0 of 1) that stays empty, not Qt's busy animation of 0..0.
  ProgressBar1->setMaximum(qMax(1, BarValue(workCountMax)));
}

void TDownloadForm::Http1Work(THttpTransfer* /*sender*/, TWorkMode /*mode*/, qint64 workCount) {
  SetPosition(workCount);
  // The only moment during a transfer at which the window paints, answers and its timers tick.
  if (Application != nullptr) Application->ProcessMessages();
}

void TDownloadForm::Http1WorkEnd(THttpTransfer* /*sender*/, TWorkMode /*mode*/) {
  SetPosition(ProgressBar1->maximum());
}

void TDownloadForm::SetPosition(qint64 value) {
  // The bar holds its position within its range; Qt would ignore a value beyond it, or, with an
  // empty range, take it as it is.
  ProgressBar1->setValue(qMin(BarValue(value), announced_ > 0 ? ProgressBar1->maximum() : 0));
}

void TDownloadForm::Timer2Timer() {
  ++looks_;
  int& lastPosition = LastPosition();
  const bool settled = ProgressBar1->value() == lastPosition;
  const bool acts =
      (settled && transfer_ == TTransfer::Succeeded) || transfer_ == TTransfer::Failed;
  if (acts) {
    if (transfer_ == TTransfer::Succeeded) {
      startAttempted_ = true;
      startOutcome_ = StartDownloadedFile(writtenPath_);
    }
    Timer2->SetEnabled(false);
    WatchEnded();
  }
  lastPosition = ProgressBar1->value();
}
