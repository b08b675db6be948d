#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmAtualiza;
}

class TFrmAtualiza : public TForm {
  Q_OBJECT

 public:
  TFrmAtualiza();
  ~TFrmAtualiza() override;

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmAtualiza> ui_;
};

extern TFrmAtualiza* FrmAtualiza;
