#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "platform/shmsurface.h"
#include "principal/rdp/msrdpclientadvancedsettings.h"
#include "principal/rdp/rdpconnection.h"
#include "principal/rdp/rdpdisplay.h"
#include "principal/rdp/rdpframe.h"

class IRdpSession;
class TCertificateQuestion;
class TOpenBox;
class TRdpDirectSurface;
class TRdpFullScreen;
class TRdpSessionBridge;
class QKeyEvent;
class QPainter;
class QMouseEvent;
class QWheelEvent;

// The remote desktop control: connection settings, Connect/Disconnect, the connection events,
// and the view of the remote desktop with the person's mouse and keyboard going to it.
//
// The protocol runs on a thread of its own; this widget and its events live on the UI thread.
// Events are Qt signals emitted from the event loop (never from inside Connect or Disconnect);
// bind them with Bind() so a handler's exception goes to the error box. Should one escape
// anyway, the control reports it the same way and carries on.
//
// The remote desktop is asked at the view's size in device pixels, with the screen's scale, and
// follows the view while connected when the server can (a resize, full screen and back, the
// on-screen keyboard coming and going, another screen). It is shown whole: 1:1 and centred on a
// dark background when it fits, scaled down smoothly with its aspect kept when it does not (a
// server that keeps its own size), never enlarged. FullScreen shows it on the whole monitor the
// window is on, by the same rule.
class TMsRdpClient : public QAbstractScrollArea {
  Q_OBJECT

 public:
  // Values of Connected().
  static constexpr short kNotConnected = 0;
  static constexpr short kConnectedState = 1;
  static constexpr short kConnecting = 2;

  explicit TMsRdpClient(QWidget* parent = nullptr);
  ~TMsRdpClient() override;

  // Connection settings, read at Connect. Changing one while connected or connecting is
  // refused, as is a desktop size outside 200-8192 or a server that is not a host name or an
  // IP literal (ERdpControlError). The desktop size is asked only while no view shows the
  // desktop (the control hidden); otherwise the view's own size is.
  void SetServer(const QString& server);
  [[nodiscard]] const QString& Server() const { return connection_.server; }
  void SetUserName(const QString& userName);
  [[nodiscard]] const QString& UserName() const { return connection_.userName; }
  void SetDesktopWidth(int width);
  [[nodiscard]] int DesktopWidth() const { return connection_.desktopWidth; }
  void SetDesktopHeight(int height);
  [[nodiscard]] int DesktopHeight() const { return connection_.desktopHeight; }

  // The whole screen for the remote desktop; Ctrl+Alt+Enter or the bar at the top edge returns.
  void SetFullScreen(bool on);
  [[nodiscard]] bool FullScreen() const;

  // 1 connected, 0 not connected, 2 connecting.
  [[nodiscard]] short Connected() const { return connected_; }

  [[nodiscard]] TMsRdpClientAdvancedSettings* AdvancedSettings2() { return &advanced_; }

  // Starts connecting: OnConnecting follows, then OnConnected or OnDisconnected. Refused while
  // connecting or connected and without a server name.
  void Connect();
  // Ends the session or the attempt; OnDisconnected follows. Nothing happens when not connected.
  void Disconnect();

  // The one way keys reach the remote side: a PC scan code (set 1), the extended flag for keys
  // sent with an E0 prefix, pressed or released. The view's key events (physical keyboard, and
  // key events that the on-screen keyboard sends to the focused view) come here.
  void SendScanCode(std::uint16_t code, bool extended, bool down);

  // A copy of the remote desktop as last drawn, taken the way the view reads it: never while
  // the session is drawing.
  [[nodiscard]] QImage Frame() const { return frame_.Copy(); }
  // The remote desktop's size (empty while there is none).
  [[nodiscard]] QSize DesktopSize() const { return frame_.Size(); }
  // Where the desktop sits in the view now (view coordinates, rounded to whole pixels).
  [[nodiscard]] QRect DesktopRect() const;
  // The desktop the view would ask for now: its size in device pixels and the screen's scale;
  // the desktop size properties while the control is hidden.
  [[nodiscard]] TRdpDisplayLayout WantedLayout() const;
  // Whether text names a server the control connects to: a host name (letters, digits, '-' and
  // '.'), an IPv4 literal or a bracketed IPv6 literal, at most 253 characters. The name comes
  // from the network, and FreeRDP reads some other forms as local descriptors and sockets.
  [[nodiscard]] static bool ValidServerName(const QString& text);
  // Whether the X server takes the desktop straight from the frame's memory on the window's view
  // (a child window covering it), rather than through Qt's painting.
  [[nodiscard]] bool ShowsDirectly() const;
  // A text for a reason number of OnDisconnected.
  [[nodiscard]] static QString DisconnectReasonText(int discReason);

 signals:
  void OnConnecting();
  void OnConnected();
  void OnDisconnected(int discReason);

 protected:
  bool event(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  friend class TMsRdpClientAdvancedSettings;
  friend class TRdpFullScreen;
  friend class TRdpDirectSurface;
  friend class TRdpSessionBridge;
  // Tests hand the view a frame of their own drawing, as the session would.
  friend struct TMsRdpClientFrameProbe;

  void RefuseWhileActive() const;
  void Emit(void (TMsRdpClient::*signal)());
  void SetFrame(const TRdpFrame& frame);
  // Where the desktop sits on a surface (this view's viewport or the full-screen window): in its
  // device pixels, and in its own coordinates.
  [[nodiscard]] QRect DeviceTarget(const QWidget* surface) const;
  [[nodiscard]] QRectF TargetIn(const QWidget* surface) const;
  // The desktop pixel under a point of a surface.
  [[nodiscard]] QPoint DesktopAt(const QWidget* surface, QPointF at) const;
  // Paints the surface's background around the desktop and the desktop where region asks.
  void PaintSurface(QWidget* surface, const QRegion& region) const;
  // Draws the desktop into target (surface coordinates), only where region asks, holding the
  // session off the pixels meanwhile. The one way this view and the full-screen one read them.
  void DrawDesktop(QPainter& painter, const QRectF& target, const QRegion& region) const;
  void Invalidate(const QRegion& region);
  // The desktop put on screen by the X server from the frame's own memory, with no copy on our
  // side, where it is drawn 1:1 to device pixels on X11: a native child window covering the
  // surface (the view's viewport or the full-screen window) shows it and the background around
  // it. Anywhere else (scaled, another platform, an X server that cannot map our memory) the
  // surface paints it through QPainter. UpdateDirect chooses, after anything that changes the
  // fit: a new frame, a resize, another screen.
  void UpdateDirect();
  void UpdateDirectOn(QWidget* surface, QPointer<TRdpDirectSurface>& direct);
  [[nodiscard]] bool DirectFits(const QWidget* surface) const;
  // The widget that shows a surface's desktop now: its direct child, or the surface itself.
  [[nodiscard]] QWidget* Shown(QWidget* surface) const;
  // Paints region (the direct child's coordinates) of its surface; false when the X server
  // refused, and the surface goes back to QPainter for good.
  bool PaintDirect(TRdpDirectSurface* direct, const QRegion& region);
  void InvalidateIn(QWidget* surface, const QRegion& desktopRegion) const;
  // Tells the session the desktop the view wants now (it sends it when the server takes it).
  void UpdateDisplayLayout();
  // The server's pointer: FreeRDP's image and hot spot, hidden, or the local arrow; every
  // surface shows it at the scale the desktop has there (ApplyRemotePointer).
  struct RemotePointer {
    enum class Kind { None, Hidden, Arrow, Image };
    Kind kind = Kind::None;  // None: the view's own cursor, as before a session
    QImage image;
    QPoint hotSpot;
  };
  void SetRemotePointer(RemotePointer pointer);
  // Gives the view and the full-screen window the remote pointer as they show the desktop now:
  // after a new pointer, a new desktop size, a resize or another screen.
  void ApplyRemotePointer();
  // What a surface was last given, so that a resize that leaves the pointer as it was makes no
  // new cursor (each one is a new cursor in the X server).
  struct AppliedPointer {
    quint64 serial = 0;
    QSize size;
    QPoint hotSpot;
    qreal ratio = 0;
    bool operator==(const AppliedPointer&) const = default;
  };
  void ApplyRemotePointerTo(QWidget* surface, AppliedPointer& applied) const;
  // The view or the full-screen window is on another screen, which may have another scale.
  void ScreenChanged();
  void SessionEnded(int reason);
  // The certificate question of the current attempt, in a box that lives as long as it does.
  void AskCertificate(const std::shared_ptr<TCertificateQuestion>& question);
  // Takes the box away; the question, if still open, is withdrawn (the attempt no longer waits).
  void CloseCertificateQuestion();

  // Input from this view or the full-screen one; desktopAt is in desktop pixels.
  void HandleKey(QKeyEvent* event, bool down);
  void HandleMouseButton(QMouseEvent* event, bool down, QPoint desktopAt);
  void HandleMouseMove(QPoint desktopAt);
  void HandleWheel(QWheelEvent* event, QPoint desktopAt);
  void ReleaseHeldKeys();
  // Tells the remote side the local Caps, Num and Scroll Lock, which may have changed while the
  // view did not have the keyboard.
  void SyncLockKeys();
  void ShowFullScreenWindow();
  void CloseFullScreenWindow();

  // The connection properties, the advanced settings' port and password among them.
  TConnectionParameters connection_;
  short connected_ = kNotConnected;
  // Disconnect was called for the current attempt: a success reported after it is not one.
  bool disconnectRequested_ = false;
  TMsRdpClientAdvancedSettings advanced_;

  std::unique_ptr<TRdpSessionBridge> bridge_;
  std::shared_ptr<TCertificateQuestion> question_;
  std::unique_ptr<TOpenBox> questionBox_;
  std::unique_ptr<IRdpSession> session_;
  TRdpFrame frame_;
  // The direct way: the X connection that puts the pictures (null where it cannot), the frame
  // whose memory the X server has mapped, and the child window of each surface.
  std::unique_ptr<TShmSurface> shm_;
  bool shmOpened_ = false;
  std::shared_ptr<std::uint8_t[]> shmPixels_;
  QPointer<TRdpDirectSurface> viewDirect_;
  QPointer<TRdpDirectSurface> fullScreenDirect_;
  QImage image_;  // frame_'s pixels without a copy; drawn only under frame_'s lock
  std::optional<TRdpDisplayLayout> toldLayout_;  // the last layout handed to the session
  bool fullScreenWanted_ = false;
  QPoint lastMouseAt_{-1, -1};  // where the remote pointer was last sent
  std::set<std::pair<std::uint16_t, bool>> heldKeys_;
  QPointer<TRdpFullScreen> fullScreen_;
  RemotePointer remotePointer_;
  quint64 remotePointerSerial_ = 0;  // counts the pointers the server has set
  AppliedPointer viewPointer_;
  AppliedPointer fullScreenPointer_;
};

// The certificate questions, asked before the password goes to a server that nothing vouches for.
inline constexpr char16_t kCertificateUnknownText[] =
    u"Não foi possível confirmar a identidade do servidor %1.\n\n"
    u"Impressão digital SHA-256 do certificado:\n%2\n\n"
    u"Confira a impressão digital com o seu provedor antes de continuar.\n"
    u"Deseja confiar neste certificado e enviar sua senha?";
inline constexpr char16_t kCertificateChangedText[] =
    u"O certificado do servidor %1 mudou desde a última conexão.\n\n"
    u"Isso pode indicar que outro computador está se passando pelo servidor.\n"
    u"Novo certificado: %2\nImpressão digital: %3\n\n"
    u"Deseja conectar mesmo assim?";
inline constexpr char16_t kCertificateYesCaption[] = u"&Sim";
// Shown when the remote desktop part of the program is missing (an incomplete installation).
inline constexpr char16_t kNoSessionLibraryBoxText[] =
    u"O componente de área de trabalho remota deste programa está ausente ou danificado.\n\n"
    u"Reinstale o programa para conectar.";
inline constexpr char16_t kCertificateNoCaption[] = u"&Não";
