#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmAjudaImpressao;
}

class TFrmAjudaImpressao : public TForm {
  Q_OBJECT

 public:
  TFrmAjudaImpressao();
  ~TFrmAjudaImpressao() override;

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmAjudaImpressao> ui_;
};

extern TFrmAjudaImpressao* FrmAjudaImpressao;
