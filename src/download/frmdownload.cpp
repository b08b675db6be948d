#include "download/frmdownload.h"

#include "service/endpoints.h"
#include "shell/application.h"
#include "ui_frmdownload.h"

TFrmDownload* FrmDownload = nullptr;

void CreateFrmDownload() {
  Application->CreateForm(FrmDownload);
}

TFrmDownload::TFrmDownload() : ui_(std::make_unique<Ui::TFrmDownload>()) {}

TFrmDownload::~TFrmDownload() = default;

void TFrmDownload::SetupLayout() {
  ui_->setupUi(this);
  SetupDownload(ui_->ProgressBar1);
}

int& TFrmDownload::ClassLastPosition() {
  static int lastPosition = 0;
  return lastPosition;
}

QString TFrmDownload::DownloadUrl() const {
  return WithWebAddress(kPdfInstallerUrl);
}

QString TFrmDownload::FileName() const {
  return QString::fromLatin1(kPdfInstallerFileName);
}

void TFrmDownload::WatchEnded() {
  // Shown modally by the printer check: this ends its modal show.
  Close();
}
