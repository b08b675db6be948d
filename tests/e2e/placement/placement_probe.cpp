// The program's own window set on the display in DISPLAY, brought to one of the states whose
// window placement the script measures:
//   login     the login window, as at start;
//   session   the session window shown as sign-in shows it (its connection is refused at once);
//   printing  the printing help shown modally from the session window;
//   transfer  the transfer help likewise;
//   alert     a connection notice over the login window, shown again (hidden and shown at once,
//             as the next notice replaces one) each time the file "again" appears in the working
//             directory, which the probe then removes.
// Runs until the script ends it.
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "ajudaimpressao/frmajudaimpressao.h"
#include "ajudatransferencia/frmajudatransferencia.h"
#include "createforms.h"
#include "login/frmlogin.h"
#include "principal/alert/desktopalert.h"
#include "principal/frmprincipal.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/msrdpclientadvancedsettings.h"
#include "shell/startup.h"

namespace {

// Nothing listens here inside the test's private network: the session ends at once.
constexpr char kNoServer[] = "127.0.0.1";
constexpr int kClosedPort = 9;
constexpr char kAgainFile[] = "again";
constexpr int kAgainPollMs = 50;

void ShowSession() {
  TMsRdpClient* client = FrmPrincipal->MsRdpClient71();
  client->SetServer(QString::fromLatin1(kNoServer));
  client->AdvancedSettings2()->SetRDPPort(kClosedPort);
  FrmPrincipal->BecomeMainForm();
  FrmPrincipal->Show();
  FrmLogin->Close();
}

void ShowAlertAgainOnRequest() {
  auto* alert = new TDesktopAlert(FrmLogin);
  LoadSessionAlertSettings(*alert);
  alert->SetMessageText(QStringLiteral("placement probe"));
  alert->Execute();
  auto* poll = new QTimer(FrmLogin);
  QObject::connect(poll, &QTimer::timeout, [alert] {
    if (QFile::remove(QString::fromLatin1(kAgainFile))) alert->Execute();
  });
  poll->start(kAgainPollMs);
}

}  // namespace

int main(int argc, char** argv) {
  const char* state = argc > 1 ? argv[1] : "";
  if (std::strcmp(state, "login") != 0 && std::strcmp(state, "session") != 0 &&
      std::strcmp(state, "printing") != 0 && std::strcmp(state, "transfer") != 0 &&
      std::strcmp(state, "alert") != 0) {
    std::fprintf(stderr, "usage: placement_probe login|session|printing|transfer|alert\n");
    return 2;
  }
  return RunApplication(argc, argv, [state] {
    CreateApplicationForms();
    if (std::strcmp(state, "login") == 0) return;
    if (std::strcmp(state, "alert") == 0) {
      QTimer::singleShot(0, [] { ShowAlertAgainOnRequest(); });
      return;
    }
    QTimer::singleShot(0, [state] {
      ShowSession();
      if (std::strcmp(state, "printing") == 0) FrmAjudaImpressao->ShowModal();
      if (std::strcmp(state, "transfer") == 0) FrmAjudaTransferencia->ShowModal();
    });
  });
}
