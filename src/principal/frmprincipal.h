#pragma once

#include <QPixmap>
#include <QString>
#include <memory>

#include "principal/rdp/rdpconnection.h"
#include "shell/form.h"

namespace Ui {
class TFrmPrincipal;
}
class TDesktopAlert;
class TMsRdpClient;
class TTouchKeyboard;

// The session window: the remote desktop control under a toolbar, the on-screen keyboard below
// it, the connection status alert, and the version label.
class TFrmPrincipal : public TForm {
  Q_OBJECT

 public:
  TFrmPrincipal();
  ~TFrmPrincipal() override;

  // Hands the connection over to the control, for the Connect that showing the window starts;
  // the password moves into the control. A value the control refuses throws (ERdpControlError);
  // the window is then not to be shown.
  void SetConnectionParameters(TConnectionParameters parameters);

  // Makes this window the application's main window; nothing is shown, hidden or re-created.
  void BecomeMainForm();

  [[nodiscard]] TMsRdpClient* MsRdpClient71() const;
  [[nodiscard]] TTouchKeyboard* TouchKeyboard1() const;
  [[nodiscard]] TDesktopAlert* DesktopAlert1() const {
    EnsureLayout();
    return desktopAlert1_;
  }

  // Opens "http://" + address in the user's default browser.
  void JumpTo(const QString& address);
  // Writes the printer-redirection value that makes every printer reach the remote desktop.
  void PrinterRDP();

  void FormShow();
  void FormClose(TCloseAction& action);
  void SpeedButton1Click();
  void SpeedButton2Click();
  void SpeedButton3Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void SpeedButton6Click();
  void MsRdpClient71Connecting();
  void MsRdpClient71Connected();
  void MsRdpClient71Disconnected(int discReason);

 protected:
  [[nodiscard]] bool CentredAtCreation() const override { return false; }
  void SetupLayout() override;

 private:
  std::unique_ptr<Ui::TFrmPrincipal> ui_;
  TDesktopAlert* desktopAlert1_ = nullptr;
  QList<QPixmap> imageList1_;
};

extern TFrmPrincipal* FrmPrincipal;

inline constexpr char16_t kAlertConectando[] = u"Conectando";
inline constexpr char16_t kAlertDesconectado[] = u"Desconectado";
