#pragma once

#include <memory>

#include "download/downloadform.h"
#include "platform/cpu.h"

namespace Ui {
class TFrmAtualiza;
}

// Downloads the updater built for this processor, starts it and, a second later, ends the
// application, whether the download succeeded or not. Created at start-up; nothing shows it.
class TFrmAtualiza : public TDownloadForm {
  Q_OBJECT

 public:
  TFrmAtualiza();
  ~TFrmAtualiza() override;

  void Timer3Timer();

  [[nodiscard]] QString DownloadUrl() const override;
  [[nodiscard]] QString FileName() const override;
  [[nodiscard]] static int& ClassLastPosition();

  TTimer* Timer3 = nullptr;
  TComputerInfo ComputerInfo1;

 protected:
  void SetupLayout() override;
  [[nodiscard]] int& LastPosition() override { return ClassLastPosition(); }
  void WatchEnded() override;

 private:
  std::unique_ptr<Ui::TFrmAtualiza> ui_;
};

inline constexpr int kEndDelayMs = 1000;

extern TFrmAtualiza* FrmAtualiza;
