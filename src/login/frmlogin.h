#pragma once

#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmLogin;
}

class TFrmLogin : public TForm {
  Q_OBJECT

 public:
  TFrmLogin();
  ~TFrmLogin() override;

 protected:
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmLogin> ui_;
};

extern TFrmLogin* FrmLogin;
