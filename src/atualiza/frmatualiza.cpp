#include "atualiza/frmatualiza.h"

#include "service/endpoints.h"
#include "shell/application.h"
#include "ui_frmatualiza.h"

TFrmAtualiza* FrmAtualiza = nullptr;

TFrmAtualiza::TFrmAtualiza() : ui_(std::make_unique<Ui::TFrmAtualiza>()) {}

TFrmAtualiza::~TFrmAtualiza() = default;

void TFrmAtualiza::SetupLayout() {
  ui_->setupUi(this);
  SetupDownload(ui_->ProgressBar1);
  Timer3 = new TTimer(this, kEndDelayMs, false);
  Timer3->OnTimer = [this] { Timer3Timer(); };
}

int& TFrmAtualiza::ClassLastPosition() {
  static int lastPosition = 0;
  return lastPosition;
}

QString TFrmAtualiza::DownloadUrl() const {
  // The processor decides, not the system: a 64-bit processor gets the 64-bit build.
  return WithWebAddress(ComputerInfo1.CPU.Is64Bits() ? kUpdaterUrlX64 : kUpdaterUrlX32);
}

QString TFrmAtualiza::FileName() const {
  return QString::fromLatin1(kUpdaterFileName);
}

void TFrmAtualiza::WatchEnded() {
  Timer3->SetEnabled(true);
}

void TFrmAtualiza::Timer3Timer() {
  // The window is not closed first; it goes with the application.
  if (Application != nullptr) Application->Terminate();
}
