#pragma once

#include <QString>

class TMsRdpClient;

// The control's advanced settings: the port, the password and the three redirection switches.
// Reached through TMsRdpClient::AdvancedSettings2(); the control owns it, and holds the port and
// the password in its connection record.
class TMsRdpClientAdvancedSettings {
 public:
  TMsRdpClientAdvancedSettings(const TMsRdpClientAdvancedSettings&) = delete;
  TMsRdpClientAdvancedSettings& operator=(const TMsRdpClientAdvancedSettings&) = delete;
  ~TMsRdpClientAdvancedSettings();

  // The server's TCP port; a value outside 1-65535 is refused (ERdpControlError).
  void SetRDPPort(int port);
  [[nodiscard]] int RDPPort() const;

  // The password, held in this process's memory only: never logged, never written anywhere.
  // Taken over, not copied: the one given is the one handed to each session.
  void SetClearTextPassword(QString password);
  [[nodiscard]] const QString& ClearTextPassword() const;

  // Redirection switches, read at Connect: the home folder and removable media as drives; the
  // default printer (every printer when the stored FilterQueueType asks for it); serial ports.
  void SetRedirectDrives(bool on);
  void SetRedirectPrinters(bool on);
  void SetRedirectPorts(bool on);
  [[nodiscard]] bool RedirectDrives() const { return redirectDrives_; }
  [[nodiscard]] bool RedirectPrinters() const { return redirectPrinters_; }
  [[nodiscard]] bool RedirectPorts() const { return redirectPorts_; }

 private:
  friend class TMsRdpClient;
  explicit TMsRdpClientAdvancedSettings(TMsRdpClient& owner) : owner_(owner) {}

  TMsRdpClient& owner_;
  bool redirectDrives_ = false;
  bool redirectPrinters_ = false;
  bool redirectPorts_ = false;
};
