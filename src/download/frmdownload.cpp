#include "download/frmdownload.h"

#include "shell/application.h"
#include "ui_frmdownload.h"

TFrmDownload* FrmDownload = nullptr;

TFrmDownload::TFrmDownload() : TForm(13), ui_(std::make_unique<Ui::TFrmDownload>()) {}

TFrmDownload::~TFrmDownload() = default;

void TFrmDownload::SetupLayout() {
  ui_->setupUi(this);
}
