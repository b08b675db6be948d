#pragma once

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRegion>
#include <QString>
#include <Qt>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "principal/rdp/rdpdevices.h"
#include "principal/rdp/rdpframe.h"

// The protocol side of the control: one connection attempt and the session that follows, run by
// FreeRDP on a thread of its own. Nothing here touches a widget. What the session has to say
// reaches the UI thread as queued calls into TRdpSessionEvents; input goes the other way through
// a queue that wakes the session's loop. FreeRDP's own types stay in the implementation file.

// Receives the session's reports on the UI thread.
class TRdpSessionEvents {
 public:
  virtual ~TRdpSessionEvents() = default;
  virtual void SessionConnected() = 0;
  virtual void SessionDisconnected(int reason) = 0;
  virtual void SessionFrame(const RdpFrame& frame) = 0;
  virtual void SessionInvalidated(const QRegion& region) = 0;
  // The pointer shape the remote side asks for: its image and hot spot; a null image means the
  // default arrow, visible false hides the pointer.
  virtual void SessionCursor(const QImage& image, QPoint hotSpot, bool visible) = 0;
  // The server shows a certificate other than the one remembered for it: connect anyway?
  virtual bool SessionConfirmChangedCertificate(const QString& host, const QString& subject,
                                                const QString& fingerprint) = 0;
};

// What one connection needs.
struct RdpConnectParams {
  QString server;
  QString userName;
  QString password;
  int port = 3389;
  int width = 1024;
  int height = 768;
  std::uint32_t keyboardLayout = 0;  // a Windows layout id; 0 lets the server choose
  std::vector<DeviceChannel> devices;
  bool sound = true;
};

// Reason numbers of OnDisconnected that are ours; every other number is the server's error-info
// code or FreeRDP's error code for what ended the session.
inline constexpr int kDiscReasonLocal = 1;   // Disconnect was called
inline constexpr int kDiscReasonRemote = 2;  // the connection closed without a stated reason

class TRdpSession {
 public:
  // Reports go to events through receiver's thread (the UI thread); receiver must outlive the
  // session or Detach it first.
  TRdpSession(RdpConnectParams params, QObject* receiver, TRdpSessionEvents* events);
  ~TRdpSession();
  TRdpSession(const TRdpSession&) = delete;
  TRdpSession& operator=(const TRdpSession&) = delete;

  // Starts the connection on the session thread.
  void Start();
  // Asks the session to end; it reports SessionDisconnected(kDiscReasonLocal) when it has.
  void Abort();
  // Waits up to timeoutMs for the session thread to end; false when it did not.
  [[nodiscard]] bool Wait(int timeoutMs);
  // No more reports from here on (the receiver is going away or a new session replaces this).
  void Detach();

  // Input, queued to the session thread. Coordinates are desktop pixels.
  void SendScanCode(std::uint16_t code, bool extended, bool down);
  void SendMouseMove(QPoint at);
  void SendMouseButton(Qt::MouseButton button, bool down, QPoint at);
  // Wheel rotation in eighths of a degree (120 a notch), positive away from the user / right.
  void SendWheel(int delta, bool horizontal, QPoint at);
  // Lock-key state for the remote side (after focus returns to the view).
  void SendLockState(bool capsLock, bool numLock, bool scrollLock);

  // Texts for reason numbers of OnDisconnected.
  [[nodiscard]] static QString ReasonText(int reason);
  // The Windows keyboard layout id of the local keyboard.
  [[nodiscard]] static std::uint32_t LocalKeyboardLayout();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};
