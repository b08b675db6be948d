#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmDownload;
}

class TFrmDownload : public TForm {
  Q_OBJECT

 public:
  TFrmDownload();
  ~TFrmDownload() override;

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmDownload> ui_;
};

extern TFrmDownload* FrmDownload;
