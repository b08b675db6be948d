#pragma once

#include <QString>
#include <memory>

#include "shell/form.h"

namespace Ui {
class TFrmLogin;
}
class THttpTransfer;
class QButtonGroup;

// The first window: user name and password, the lookup of the user's server and port, and the
// hand-over to the session window.
class TFrmLogin : public TForm {
  Q_OBJECT

 public:
  // The picture beside the fields.
  static constexpr char16_t kPicture[] = u":/login/login.jpg";

  TFrmLogin();
  ~TFrmLogin() override;

  // The window's one HTTP transfer: it serves every attempt of the run (cookies, connection).
  [[nodiscard]] THttpTransfer& Http1() { return *http1_; }

  void Edit1Exit();
  void Edit1KeyUp(int key, Qt::KeyboardModifiers shift);
  void RadioGroup1Click();
  void CheckBox1Click();
  void Button1Click();

 protected:
  void SetupLayout() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SignIn();

  std::unique_ptr<Ui::TFrmLogin> ui_;
  std::unique_ptr<THttpTransfer> http1_;
  QButtonGroup* siteChoice_ = nullptr;
  int siteIndex_ = 0;
};

extern TFrmLogin* FrmLogin;

inline constexpr char16_t kMsgRotaAlternativa[] =
    u"Apenas utilize essa opção caso o acesso normal esteja apresentando instabilidade";
inline constexpr char16_t kMsgUsuarioNaoEncontrado[] = u"Usuário não encontrado";
inline constexpr char16_t kMsgParametrosIncorretos[] =
    u"Parâmetros incorretos ou sem acesso à internet";
inline constexpr char16_t kSpecialAccount[] = u"merovia";
inline constexpr char16_t kSpecialAccountSiteSuffix[] = u"_zirevuvar";
