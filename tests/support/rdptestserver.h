#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "cupsscheduler.h"
#include "freeport.h"

// A real RDP server for tests: its own Xvfb display served by freerdp-shadow-cli on an ephemeral
// loopback port, with NLA checking one user's password against a SAM file, or TLS only. The
// server is tests/support/rdp-test-server's, the recipe the end-to-end scripts use too. The
// display, the server and the programs on the display end with the test.
class TestRdpServer {
 public:
  static constexpr char kUser[] = "zentra";
  static constexpr char kPassword[] = "Senha-de-teste-1";

  // NLA checks the password against the SAM file; TLS alone takes any password.
  enum class Security { Nla, Tls };

  explicit TestRdpServer(Security security = Security::Nla);
  ~TestRdpServer();
  TestRdpServer(const TestRdpServer&) = delete;
  TestRdpServer& operator=(const TestRdpServer&) = delete;

  // TLS without NLA (the server takes any password); call before Start.
  void UseTlsWithoutNla() {
    security_ = Security::Tls;
    ownCertificate_ = true;
  }
  // The server's own self-signed certificate, which nothing vouches for, instead of one the
  // build's test authority (the provider's, in development builds) issued for 127.0.0.1. A TLS
  // server has its own unless told otherwise. Call before Start.
  void UseOwnCertificate() { ownCertificate_ = true; }
  void UseProviderCertificate() { ownCertificate_ = false; }

  // The password NLA checks from the next StartServer on (kPassword until then).
  [[nodiscard]] bool UsePassword(const QString& password);

  // Starts the display and the server; the port is kept across Stop/StartServer.
  [[nodiscard]] bool Start();
  // Starts (again) only the RDP server; a fresh serverHome gives it a new certificate.
  [[nodiscard]] bool StartServer(const QString& serverHome = {});
  void StopServer();

  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] QString Display() const { return display_; }
  [[nodiscard]] QString Folder() const { return dir_.path(); }
  // Why Start failed.
  [[nodiscard]] QString Failure() const { return failure_; }

  // Runs a program on the server display and waits for it (bounded); returns its exit code.
  int Run(const QString& program, const QStringList& arguments, int timeoutMs = 10000);
  // Starts a program on the server display that keeps running until the server goes.
  QProcess* Launch(const QString& program, const QStringList& arguments);
  // Waits (at most 10 s) until xdotool finds a window on the server display by these search
  // options ("--class", "xterm").
  [[nodiscard]] bool WaitForWindow(const QStringList& searchOptions);
  // Fills the server's root window with a colour ("#RRGGBB").
  bool PaintRoot(const QString& colour);

 private:
  bool StartDisplay();
  // Runs one step of tests/support/rdp-test-server to its end; its complaint becomes Failure().
  bool RunRecipe(const QStringList& arguments);
  bool LaunchServer(const QString& home);
  // Puts a certificate of the test authority where the server looks for its own.
  bool InstallProviderCertificate(const QString& home);

  QTemporaryDir dir_;
  QString display_;
  QString failure_;
  int port_ = 0;
  Security security_;
  bool ownCertificate_ = security_ == Security::Tls;
  std::unique_ptr<QProcess> xvfb_;
  std::unique_ptr<QProcess> server_;
  std::vector<std::unique_ptr<QProcess>> programs_;
};
