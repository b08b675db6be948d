#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRegion>
#include <QString>
#include <QStringList>
#include <Qt>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "principal/rdp/rdpconnection.h"
#include "principal/rdp/rdpdisplay.h"
#include "principal/rdp/rdpframe.h"

// The seam between the program and the session library: what the control asks of a connection
// (connect, disconnect, input) and what a connection tells the control (connected, disconnected
// with a reason, frames, the pointer, certificate questions). Only what both sides share is here;
// the session reads nothing of the program's but its parameters. The program ships one
// implementation, FreeRDP's (TRdpSession, in session/); rdpsessionloader.h finds it, and a test
// installs a factory of its own to drive the control and the windows above it without a network.

// A certificate question of one connection: the session asks it and waits, the control shows it
// and answers. It belongs to the connection that asked: when that stops waiting first (Disconnect,
// its time limit, the server gone), the question is withdrawn, its box closes, and an answer given
// after that goes nowhere. Safe to use from both threads.
class TCertificateQuestion {
 public:
  enum class Kind {
    Unknown,  // nothing vouches for the certificate and it was never trusted here
    Changed,  // another certificate than the one the person trusted for this server
  };
  enum class Outcome { Waiting, Trusted, Refused, Withdrawn };

  TCertificateQuestion(Kind kind, QString host, QString subject, QString fingerprint)
      : kind_(kind),
        host_(std::move(host)),
        subject_(std::move(subject)),
        fingerprint_(std::move(fingerprint)) {}

  [[nodiscard]] Kind QuestionKind() const { return kind_; }
  [[nodiscard]] const QString& Host() const { return host_; }
  [[nodiscard]] const QString& Subject() const { return subject_; }
  [[nodiscard]] const QString& Fingerprint() const { return fingerprint_; }

  // The person's answer. Only the first of Answer and Withdraw counts.
  void Answer(bool trust);
  // The connection no longer waits.
  void Withdraw();
  [[nodiscard]] Outcome Result() const;
  // Waits until the question is answered or withdrawn, or until deadline; polls keepWaiting
  // meanwhile and withdraws the question when it says no. What came of it.
  Outcome WaitForAnswer(std::chrono::steady_clock::time_point deadline,
                        const std::function<bool()>& keepWaiting);

 private:
  bool Settle(Outcome outcome);

  const Kind kind_;
  const QString host_;
  const QString subject_;
  const QString fingerprint_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Outcome outcome_ = Outcome::Waiting;
};

// Receives the session's reports on the UI thread.
class TRdpSessionEvents {
 public:
  virtual ~TRdpSessionEvents() = default;
  virtual void SessionConnected() = 0;
  // The connection was lost (not ended by the server or by us) and the session is trying to get
  // it back on its own; SessionConnected or SessionDisconnected follows.
  virtual void SessionReconnecting() = 0;
  virtual void SessionDisconnected(int reason) = 0;
  virtual void SessionFrame(const TRdpFrame& frame) = 0;
  virtual void SessionInvalidated(const QRegion& region) = 0;
  // The pointer shape the remote side asks for: its image and hot spot; a null image means the
  // default arrow, visible false hides the pointer.
  virtual void SessionCursor(const QImage& image, QPoint hotSpot, bool visible) = 0;
  // The server shows a certificate that the rules do not vouch for: trust it and send the
  // password? The session waits for question->Answer; the box must not outlive the question.
  virtual void SessionAskCertificate(const std::shared_ptr<TCertificateQuestion>& question) = 0;
  // The connection stopped waiting for the question (it is withdrawn): take its box away.
  virtual void SessionCertificateQuestionOver(
      const std::shared_ptr<TCertificateQuestion>& question) = 0;
};

// What one connection needs: the connection itself, and what the control adds to it at Connect.
// The session reads nothing of the program's but this.
struct TRdpConnectParams : TConnectionParameters {
  // The desktop asked for at connection (and at each reconnection, then the latest one wanted).
  TRdpDisplayLayout layout;
  std::uint32_t keyboardLayout = 0;  // a Windows layout id; 0 lets the server choose
  // Redirection switches; the devices behind them are gathered on the session thread.
  bool redirectDrives = false;
  bool redirectPrinters = false;
  bool redirectPorts = false;
  bool sound = true;
  // Where the session keeps the certificates it remembers (the program's own configuration
  // folder, not the one other FreeRDP clients share).
  QString configFolder;
  // The provider's own registrable domains (from the build's lookup and web hosts): a server
  // inside one of them may be vouched for by the system's authorities.
  QStringList providerDomains;
  // The pauses before the attempts to get a lost connection back, one per attempt; none, no
  // attempt.
  std::vector<std::chrono::milliseconds> reconnectDelays;
};

// Reason numbers of OnDisconnected that are ours; every other number is the server's error-info
// code or FreeRDP's error code for what ended the session.
inline constexpr int kDiscReasonLocal = 1;   // Disconnect was called
inline constexpr int kDiscReasonRemote = 2;  // the connection closed without a stated reason

class IRdpSession {
 public:
  virtual ~IRdpSession() = default;

  // Starts connecting; every report goes through the events given at creation.
  virtual void Start() = 0;
  // Asks the session to end; it reports SessionDisconnected(kDiscReasonLocal) when it has.
  virtual void Abort() = 0;
  // Waits up to timeoutMs for the session to have ended; false when it did not.
  [[nodiscard]] virtual bool Wait(int timeoutMs) = 0;
  // No more reports from here on (the receiver is going away or a new session replaces this).
  virtual void Detach() = 0;

  // Input for the remote side. Coordinates are desktop pixels.
  virtual void SendScanCode(std::uint16_t code, bool extended, bool down) = 0;
  virtual void SendMouseMove(QPoint at) = 0;
  virtual void SendMouseButton(Qt::MouseButton button, bool down, QPoint at) = 0;
  // Wheel rotation in eighths of a degree (120 a notch), positive away from the user / right.
  virtual void SendWheel(int delta, bool horizontal, QPoint at) = 0;
  // Lock-key state for the remote side.
  virtual void SendLockState(bool capsLock, bool numLock, bool scrollLock) = 0;
  // The desktop the view wants now: sent to a server that takes new layouts while connected
  // (paced, the last one always sent), and asked for at the next reconnection.
  virtual void SetDisplayLayout(const TRdpDisplayLayout& layout) = 0;
};

// The session library's one entry point: what the program asks of FreeRDP.
struct TRdpSessionLibrary {
  std::unique_ptr<IRdpSession> (*create)(TRdpConnectParams params, QObject* receiver,
                                         TRdpSessionEvents* events);
  QString (*reasonText)(int reason);
  std::uint32_t (*localKeyboardLayout)();
};
// The library's one exported function (extern "C"), which returns its TRdpSessionLibrary.
inline constexpr char kRdpSessionLibraryEntry[] = "zentra_rdp_session_library";
