#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

#include "principal/rdp/irdpsession.h"

// The FreeRDP session, the one the program ships: one connection attempt and the session that
// follows, run by FreeRDP on a thread of its own. Nothing here touches a widget. What the session
// has to say reaches the UI thread as queued calls into TRdpSessionEvents; input goes the other
// way through a queue that wakes the session's loop. FreeRDP's own types stay in the
// implementation file.

// How a connection ended: what we did, and what the server and FreeRDP said about it.
// How long after asking the server for a new desktop size its going away is read as the resize's
// doing rather than the person's.
inline constexpr std::chrono::seconds kResizeGrace{5};

struct TRdpSessionEnd {
  bool ourDisconnect = false;  // Disconnect was called
  bool refusedHere = false;    // we ended it: a certificate refused, a desktop we cannot hold
  // The server closed the connection while it checked the name and password (NLA): how a server
  // that gives no reason refuses a logon.
  bool closedDuringLogon = false;
  std::uint32_t errorInfo = 0;  // the server's stated reason (its error info); 0 when none
  std::uint32_t lastError = 0;  // FreeRDP's own code for what went wrong; 0 when none
  // The server went away within kResizeGrace of being asked for a new desktop size.
  bool whileResizing = false;
  // After a new size was asked, the server drew past the desktop we have: it changed size without
  // telling us, and only a new connection brings both sides to the same desktop again.
  bool outOfStep = false;
};

class TRdpSession : public IRdpSession {
 public:
  // Reports go to events through receiver's thread (the UI thread); receiver must outlive the
  // session or Detach it first.
  TRdpSession(TRdpConnectParams params, QObject* receiver, TRdpSessionEvents* events);
  ~TRdpSession() override;
  TRdpSession(const TRdpSession&) = delete;
  TRdpSession& operator=(const TRdpSession&) = delete;

  // Starts the connection on the session thread.
  void Start() override;
  // Asks the session to end; it reports SessionDisconnected(kDiscReasonLocal) when it has.
  void Abort() override;
  // Waits up to timeoutMs for the session thread to end; false when it did not.
  [[nodiscard]] bool Wait(int timeoutMs) override;
  // No more reports from here on (the receiver is going away or a new session replaces this).
  void Detach() override;

  // Input, queued to the session thread. Coordinates are desktop pixels.
  void SendScanCode(std::uint16_t code, bool extended, bool down) override;
  void SendMouseMove(QPoint at) override;
  void SendMouseButton(Qt::MouseButton button, bool down, QPoint at) override;
  // Wheel rotation in eighths of a degree (120 a notch), positive away from the user / right.
  void SendWheel(int delta, bool horizontal, QPoint at) override;
  // Lock-key state for the remote side (after focus returns to the view).
  void SendLockState(bool capsLock, bool numLock, bool scrollLock) override;
  void SetDisplayLayout(const TRdpDisplayLayout& layout) override;

  // Whether a connection that ended so is tried again on its own: only one that broke under the
  // session (the network, a server that went away), never one that the server ended (a logoff,
  // an administrator's disconnect), a logon the server refused, or one we ended.
  [[nodiscard]] static bool WorthReconnecting(const TRdpSessionEnd& end);
  // Texts for reason numbers of OnDisconnected.
  [[nodiscard]] static QString ReasonText(int reason);
  // The Windows keyboard layout id of the local keyboard.
  [[nodiscard]] static std::uint32_t LocalKeyboardLayout();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};
