#include "principal/frmprincipal.h"

#include <QGuiApplication>
#include <QScreen>
#include <QToolButton>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "platform/browser.h"
#include "platform/registry.h"
#include "principal/alert/alertimages.h"
#include "principal/alert/desktopalert.h"
#include "principal/keyboard/touchkeyboard.h"
#include "principal/rdp/msrdpclient.h"
#include "service/endpoints.h"
#include "shell/application.h"
#include "shell/events.h"
#include "ui_frmprincipal.h"

TFrmPrincipal* FrmPrincipal = nullptr;

namespace {
constexpr char kHttpPrefix[] = "http://";
}

TFrmPrincipal::TFrmPrincipal() : TForm(13), ui_(std::make_unique<Ui::TFrmPrincipal>()) {}

TFrmPrincipal::~TFrmPrincipal() = default;

void TFrmPrincipal::SetupLayout() {
  ui_->setupUi(this);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  TTouchKeyboard* keyboard = ui_->TouchKeyboard1;
  keyboard->SetLayout(QStringLiteral("Standard"));
  keyboard->SetDrawingStyle(TDrawingStyle::dsGradient);
  keyboard->SetGradientStart(QColor(128, 128, 128));  // gray
  keyboard->SetGradientEnd(QColor(192, 192, 192));    // silver
  keyboard->hide();

  desktopAlert1_ = new TDesktopAlert(this);
  LoadSessionAlertSettings(*desktopAlert1_);
  imageList1_ = AlertImages();

  OnShow = [this] { FormShow(); };
  OnClose = [this](TCloseAction& action) { FormClose(action); };
  Bind(ui_->SpeedButton1, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton1Click);
  Bind(ui_->SpeedButton2, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton2Click);
  Bind(ui_->SpeedButton3, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton3Click);
  Bind(ui_->SpeedButton4, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton4Click);
  Bind(ui_->SpeedButton5, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton5Click);
  Bind(ui_->SpeedButton6, &QToolButton::clicked, this, &TFrmPrincipal::SpeedButton6Click);
  Bind(ui_->MsRdpClient71, &TMsRdpClient::OnConnecting, this,
       &TFrmPrincipal::MsRdpClient71Connecting);
  Bind(ui_->MsRdpClient71, &TMsRdpClient::OnConnected, this,
       &TFrmPrincipal::MsRdpClient71Connected);
  Bind(ui_->MsRdpClient71, &TMsRdpClient::OnDisconnected, this,
       &TFrmPrincipal::MsRdpClient71Disconnected);
}

TMsRdpClient* TFrmPrincipal::MsRdpClient71() const {
  EnsureLayout();
  return ui_->MsRdpClient71;
}

TTouchKeyboard* TFrmPrincipal::TouchKeyboard1() const {
  EnsureLayout();
  return ui_->TouchKeyboard1;
}

void TFrmPrincipal::SetConnectionParameters(TConnectionParameters parameters) {
  EnsureLayout();
  TMsRdpClient* client = ui_->MsRdpClient71;
  client->SetUserName(parameters.userName);
  client->AdvancedSettings2()->SetClearTextPassword(std::move(parameters.password));
  client->SetDesktopWidth(parameters.desktopWidth);
  client->SetDesktopHeight(parameters.desktopHeight);
  client->SetServer(parameters.server);
  client->AdvancedSettings2()->SetRDPPort(parameters.port);
}

void TFrmPrincipal::BecomeMainForm() {
  EnsureLayout();
  Application->SetMainForm(this);
}

void TFrmPrincipal::JumpTo(const QString& address) {
  // The browser's answer is not ours to report: a desktop without one simply opens nothing.
  OpenInBrowser(QString::fromLatin1(kHttpPrefix) + address);
}

void TFrmPrincipal::PrinterRDP() {
  TRegistry registry;
  registry.OpenKey(QString::fromUtf16(kRdpdrKey), true);
  registry.WriteInteger(QString::fromUtf16(kFilterQueueTypeValue), -1);
  registry.CloseKey();
}

void TFrmPrincipal::FormShow() {
  PrinterRDP();

  // The outer size is the primary screen's, whichever screen the window is on, so that
  // restoring from maximised gives the whole screen back.
  if (const QScreen* primary = QGuiApplication::primaryScreen()) {
    resize(primary->size().shrunkBy(FrameMargins()));
  }
  setWindowState(windowState() | Qt::WindowMaximized);

  TMsRdpClient* client = ui_->MsRdpClient71;
  client->AdvancedSettings2()->SetRedirectDrives(true);
  client->AdvancedSettings2()->SetRedirectPrinters(true);
  client->AdvancedSettings2()->SetRedirectPorts(true);
  client->Connect();
}

void TFrmPrincipal::FormClose(TCloseAction& /*action*/) {
  try {
    // An attempt still connecting ends too, so no session thread outlives the window.
    if (ui_->MsRdpClient71->Connected() != TMsRdpClient::kNotConnected) {
      ui_->MsRdpClient71->Disconnect();
    }
  } catch (...) {
    // Closing always ends the program; a session that cannot say goodbye changes nothing.
  }
  Application->Terminate();
}

void TFrmPrincipal::SpeedButton1Click() {
  ui_->MsRdpClient71->SetFullScreen(true);
}

void TFrmPrincipal::SpeedButton2Click() {
  JumpTo(QString::fromLatin1(kWebHost));
}

void TFrmPrincipal::SpeedButton3Click() {
  // Disabled first, so a second press cannot start a second attempt.
  ui_->SpeedButton3->setEnabled(false);
  ui_->MsRdpClient71->Connect();
}

void TFrmPrincipal::SpeedButton4Click() {
  // The layout hands the keyboard's 180 pixels to the control and back.
  ui_->TouchKeyboard1->setVisible(ui_->TouchKeyboard1->isHidden());
}

void TFrmPrincipal::SpeedButton5Click() {
  FrmAjudaTransferencia->ShowModal();
}

void TFrmPrincipal::SpeedButton6Click() {
  FrmAjudaImpressao->ShowModal();
}

void TFrmPrincipal::MsRdpClient71Connecting() {
  // Also when a lost connection is being got back on its own: a press now would start a second
  // session beside it.
  ui_->SpeedButton3->setEnabled(false);
  desktopAlert1_->SetMessageText(QString::fromUtf16(kAlertConectando));
  desktopAlert1_->SetImage(imageList1_.value(kAlertImageConnecting));
  desktopAlert1_->Execute();
}

void TFrmPrincipal::MsRdpClient71Connected() {
  if (desktopAlert1_->Showing()) desktopAlert1_->Close(false);
}

void TFrmPrincipal::MsRdpClient71Disconnected(int /*discReason*/) {
  ui_->SpeedButton3->setEnabled(true);
  desktopAlert1_->SetMessageText(QString::fromUtf16(kAlertDesconectado));
  desktopAlert1_->SetImage(imageList1_.value(kAlertImageDisconnected));
  desktopAlert1_->Execute();
}
