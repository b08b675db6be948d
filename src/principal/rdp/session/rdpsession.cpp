#include "principal/rdp/session/rdpsession.h"

#include <freerdp/channels/cliprdr.h>
#include <freerdp/channels/disp.h>
#include <freerdp/client/cliprdr.h>
#include <freerdp/codec/color.h>
#include <freerdp/error.h>
#include <freerdp/freerdp.h>
#include <freerdp/input.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/settings.h>

#include <QMetaObject>
#include <algorithm>
#include <cstring>

#include "core/handoff.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcodecs.h"
#include "principal/rdp/session/rdpinputflags.h"
#include "principal/rdp/session/rdpsessionimpl.h"
#include "principal/rdp/session/rdpsessionsockets.h"

// The session's thread: connecting, the loop that carries FreeRDP's events, the input queued
// from the UI thread and the layouts the view wants, and the reports going back.

void TRdpSession::Impl::Post(std::function<void(TRdpSessionEvents&)> call) {
  std::lock_guard lock(linkMutex);
  if (receiver == nullptr) return;
  PostToThreadOf(receiver, [self = shared_from_this(), call = std::move(call)] {
    TRdpSessionEvents* target = nullptr;
    {
      std::lock_guard inner(self->linkMutex);
      target = self->events;
    }
    if (target != nullptr) call(*target);
  });
}

void TRdpSession::Impl::Run() {
  RegisterStaticChannels();
  freerdp* inst = freerdp_new();
  bool contextMade = false;
  int reason = kDiscReasonRemote;
  if (inst != nullptr) {
    inst->ContextSize = sizeof(TSessionContext);
    inst->PreConnect = PreConnect;
    inst->PostConnect = PostConnect;
    inst->PostDisconnect = PostDisconnect;
    inst->Authenticate = Authenticate;
    inst->VerifyX509Certificate = VerifyX509Certificate;
    contextMade = freerdp_context_new(inst) != FALSE;
  }
  if (contextMade) {
    reinterpret_cast<TSessionContext*>(inst->context)->session = this;
    reinterpret_cast<TSessionContext*>(inst->context)->frame = &frameSink;
    const bool configured = Configure(inst);
    {
      std::lock_guard lock(instanceMutex);
      instance = inst;
    }
    // FreeRDP clears its abort signal when connecting starts, so an Abort that came first is
    // seen only through our own flag: here, in PreConnect, and after connecting.
    {
      std::lock_guard lock(instanceMutex);
      socketsBefore = SocketsOpenNow();
      connecting = true;
    }
    const bool connected = configured && !abortRequested && freerdp_connect(inst);
    {
      std::lock_guard lock(instanceMutex);
      connecting = false;
    }
    if (connected && !abortRequested) {
      // The connection is complete: what the person trusted for it is remembered now.
      RememberApproval();
      Post([](TRdpSessionEvents& e) { e.SessionConnected(); });
      Loop(inst);
      while (ShouldReconnect(inst) && Reconnect(inst)) {
        Post([](TRdpSessionEvents& e) { e.SessionConnected(); });
        Loop(inst);
      }
    }
    reason = Reason(inst);
    clipboard.reset();  // before its channel goes away with the connection
    if (connected) freerdp_disconnect(inst);
    WipeSettingsPassword(inst->settings);
    {
      std::lock_guard lock(instanceMutex);
      instance = nullptr;
    }
    freerdp_context_free(inst);
  }
  if (inst != nullptr) freerdp_free(inst);
  Post([reason](TRdpSessionEvents& e) { e.SessionDisconnected(reason); });
  finished.set_value();
}

int TRdpSession::Impl::Reason(freerdp* inst) const {
  if (frameSink.Refusal() != 0) return frameSink.Refusal();
  if (abortRequested) return kDiscReasonLocal;
  const UINT32 info = freerdp_error_info(inst);
  if (info != ERRINFO_SUCCESS && info != ERRINFO_NONE) return static_cast<int>(info);
  const UINT32 error = freerdp_get_last_error(inst->context);
  if (error != FREERDP_ERROR_SUCCESS && error != FREERDP_ERROR_NONE) return static_cast<int>(error);
  return kDiscReasonRemote;
}

void TRdpSession::Impl::Loop(freerdp* inst) {
  while (!abortRequested && !outOfStep && !freerdp_shall_disconnect(inst)) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = freerdp_get_event_handles(inst->context, handles, MAXIMUM_WAIT_OBJECTS - 1);
    if (count == 0) break;
    handles[count++] = wake;
    if (WaitForMultipleObjects(count, handles, FALSE, LoopWaitMs()) == WAIT_FAILED) break;
    DrainInput(inst);
    PaceLayout(inst);
    if (!freerdp_check_event_handles(inst->context)) {
      // A channel's failure ends the turn too; only the connection's own failure ends the loop.
      if (DropFailedChannel(inst->context) && !freerdp_shall_disconnect(inst)) continue;
      break;
    }
  }
}

void TRdpSession::Impl::DrainInput(freerdp* inst) {
  // The loop turns many times a frame while the screen moves; most turns bring no input.
  if (!inputPending.exchange(false)) return;
  std::deque<TInputEvent> pending;
  {
    std::lock_guard lock(inputMutex);
    pending.swap(input);
    if (!layoutPending) ResetEvent(wake);
  }
  rdpInput* in = inst->input;
  for (size_t i = 0; i < pending.size(); ++i) {
    const TInputEvent& event = pending[i];
    switch (event.kind) {
      case TInputEvent::Kind::Keyboard:
        freerdp_input_send_keyboard_event_ex(in, event.down ? TRUE : FALSE,
                                             MAKE_RDP_SCANCODE(event.a, event.flags != 0));
        break;
      case TInputEvent::Kind::Mouse:
        // Only the last of a run of moves matters; the rest would only delay the clicks.
        if (event.flags == PTR_FLAGS_MOVE && i + 1 < pending.size() &&
            pending[i + 1].kind == TInputEvent::Kind::Mouse &&
            pending[i + 1].flags == PTR_FLAGS_MOVE)
          break;
        freerdp_input_send_mouse_event(in, event.flags, event.a, event.b);
        break;
      case TInputEvent::Kind::ExtendedMouse:
        freerdp_input_send_extended_mouse_event(in, event.flags, event.a, event.b);
        break;
      case TInputEvent::Kind::Synchronize:
        freerdp_input_send_synchronize_event(in, event.flags);
        break;
    }
  }
}

void TRdpSession::Impl::Enqueue(const TInputEvent& event) {
  std::lock_guard lock(inputMutex);
  input.push_back(event);
  inputPending = true;
  if (wake != nullptr) SetEvent(wake);
}

void TRdpSession::Impl::WakeForLayout() {
  std::lock_guard lock(inputMutex);
  layoutPending = true;
  if (wake != nullptr) SetEvent(wake);
}

DWORD TRdpSession::Impl::LoopWaitMs() {
  const auto pending = pacer.Pending(TRdpLayoutPacer::Clock::now());
  if (!pending) return kLoopTimeoutMs;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*pending).count();
  return static_cast<DWORD>(std::clamp<long long>(ms, 0, kLoopTimeoutMs));
}

void TRdpSession::Impl::PaceLayout(freerdp* inst) {
  // The loop turns many times a frame while the screen moves; almost none of them has a layout.
  const bool woken = layoutPending.exchange(false);
  if (!woken && !pacer.Pending(TRdpLayoutPacer::Clock::now())) return;
  if (woken) {
    std::lock_guard lock(inputMutex);
    if (!inputPending && !layoutPending) ResetEvent(wake);
  }
  std::lock_guard lock(displayMutex);
  if (disp == nullptr || !dispReady) {
    pacer.Close();
    return;
  }
  if (!pacer.IsOpen()) {
    // What the server shows now, which a server may have chosen otherwise than asked.
    TRdpDisplayLayout current = connectLayout;
    current.size =
        QSize(static_cast<int>(freerdp_settings_get_uint32(inst->settings, FreeRDP_DesktopWidth)),
              static_cast<int>(freerdp_settings_get_uint32(inst->settings, FreeRDP_DesktopHeight)));
    pacer.Open(current);
  }
  TRdpDisplayLayout wanted = wantedLayout;
  wanted.size = WithinArea(BoundedLayoutSize(wanted.size), dispMaxArea);
  pacer.Want(wanted);
  const auto layout = pacer.Take(TRdpLayoutPacer::Clock::now());
  if (!layout) return;
  const QSize millimetres = layout->PhysicalMillimetres();
  DISPLAY_CONTROL_MONITOR_LAYOUT monitor{};
  monitor.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
  monitor.Width = static_cast<UINT32>(layout->size.width());
  monitor.Height = static_cast<UINT32>(layout->size.height());
  monitor.PhysicalWidth = static_cast<UINT32>(millimetres.width());
  monitor.PhysicalHeight = static_cast<UINT32>(millimetres.height());
  monitor.Orientation = ORIENTATION_LANDSCAPE;
  monitor.DesktopScaleFactor = static_cast<UINT32>(layout->desktopScale);
  monitor.DeviceScaleFactor = static_cast<UINT32>(layout->deviceScale);
  const UINT sent = disp->SendMonitorLayout(disp, 1, &monitor);
  lastLayoutSentAt = TRdpLayoutPacer::Clock::now();
  qCInfo(lcRdp) << "display layout sent:" << monitor.Width << "x" << monitor.Height << "at"
                << monitor.DesktopScaleFactor << "% (device" << monitor.DeviceScaleFactor
                << "%), result" << sent;
}

UINT TRdpSession::Impl::DisplayControlCaps(DispClientContext* context, UINT32 maxMonitors,
                                           UINT32 maxAreaFactorA, UINT32 maxAreaFactorB) {
  auto* self = static_cast<Impl*>(context->custom);
  if (self == nullptr) return CHANNEL_RC_OK;
  qCDebug(lcRdp) << "the server takes display layouts: monitors" << maxMonitors << "area"
                 << maxAreaFactorA << "x" << maxAreaFactorB;
  {
    std::lock_guard lock(self->displayMutex);
    // The largest area the server takes for all its monitors; ours is one monitor.
    self->dispMaxArea = static_cast<std::uint64_t>(maxAreaFactorA) * maxAreaFactorB *
                        std::max<UINT32>(1, std::min<UINT32>(maxMonitors, 16));
    self->dispReady = maxMonitors > 0 && self->dispMaxArea > 0;
  }
  self->WakeForLayout();
  return CHANNEL_RC_OK;
}

void TRdpSession::Impl::FrameReplaced(const TRdpFrame& frame) {
  Post([frame](TRdpSessionEvents& e) { e.SessionFrame(frame); });
}

void TRdpSession::Impl::FrameChanged(const QRegion& region) {
  std::lock_guard lock(dirtyMutex);
  dirty += region;
  if (dirtyPosted) return;
  dirtyPosted = true;
  auto self = shared_from_this();
  Post([self](TRdpSessionEvents& e) {
    QRegion taken;
    {
      std::lock_guard inner(self->dirtyMutex);
      taken.swap(self->dirty);
      self->dirtyPosted = false;
    }
    e.SessionInvalidated(taken);
  });
}

void TRdpSession::Impl::ChannelConnected(void* context, ChannelConnectedEventArgs* e) {
  if (GraphicsChannelConnected(static_cast<rdpContext*>(context), e->name, e->pInterface)) return;
  Impl* self = SessionOf(static_cast<rdpContext*>(context));
  if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    // On the dynamic channel thread. Layouts go out once the server has sent its capabilities.
    auto* disp = static_cast<DispClientContext*>(e->pInterface);
    std::lock_guard lock(self->displayMutex);
    disp->custom = self;
    disp->DisplayControlCaps = DisplayControlCaps;
    self->disp = disp;
    self->dispReady = false;
    return;
  }
  if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
  std::lock_guard lock(self->linkMutex);
  if (self->receiver != nullptr)
    self->clipboard = TRdpClipboard::ForChannel(static_cast<CliprdrClientContext*>(e->pInterface),
                                                self->receiver);
}

void TRdpSession::Impl::ChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e) {
  if (GraphicsChannelDisconnected(static_cast<rdpContext*>(context), e->name, e->pInterface))
    return;
  Impl* self = SessionOf(static_cast<rdpContext*>(context));
  if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    std::lock_guard lock(self->displayMutex);
    self->disp = nullptr;
    self->dispReady = false;
    return;
  }
  if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
  self->clipboard.reset();
}

BOOL TRdpSession::Impl::PostConnect(freerdp* inst) {
  Impl* self = SessionOf(inst);
  if (!self->frameSink.Attach(inst)) return FALSE;
  PrepareDecoders(inst->context);
  RegisterSessionPointer(inst->context);
  return TRUE;
}

void TRdpSession::Impl::PostDisconnect(freerdp* inst) {
  SessionOf(inst)->frameSink.Detach(inst);
}

void TRdpSession::Impl::SurfacePastDesktop() {
  if (outOfStep || !lastLayoutSentAt ||
      TRdpLayoutPacer::Clock::now() - *lastLayoutSentAt >= kResizeGrace)
    return;
  outOfStep = true;
}

void ReportSurfacePastDesktop(rdpContext* context) {
  TRdpSession::Impl* self = SessionOf(context);
  if (self != nullptr) self->SurfacePastDesktop();
}

void ReportSessionCursor(rdpContext* context, const QImage& image, QPoint hotSpot, bool visible) {
  SessionOf(context)->Post([image, hotSpot, visible](TRdpSessionEvents& e) {
    e.SessionCursor(image, hotSpot, visible);
  });
}

TRdpSession::TRdpSession(TRdpConnectParams params, QObject* receiver, TRdpSessionEvents* events)
    : impl_(std::make_shared<Impl>()) {
  impl_->params = std::move(params);
  impl_->wantedLayout = impl_->params.layout;
  impl_->receiver = receiver;
  impl_->events = events;
  impl_->wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

TRdpSession::~TRdpSession() {
  Detach();
  Abort();
  // A thread that has not ended keeps its own reference to the session's state.
  if (impl_->thread.joinable()) {
    if (Wait(0))
      impl_->thread.join();
    else
      impl_->thread.detach();
  }
}

void TRdpSession::Start() {
  auto impl = impl_;
  impl_->thread = std::thread([impl] { impl->Run(); });
}

void TRdpSession::Abort() {
  impl_->abortRequested = true;
  std::lock_guard lock(impl_->instanceMutex);
  if (impl_->instance != nullptr) freerdp_abort_connect(impl_->instance);
  // FreeRDP 2 waits for a server's first answers in a loop that never looks at its abort
  // signal: a server that accepts and stays silent would hold the attempt (and the program's
  // exit) until TCP gives up. Shutting the attempt's socket ends that wait at once.
  if (impl_->connecting) ShutDownNewSocketsTo(impl_->socketsBefore, impl_->params.port);
}

bool TRdpSession::Wait(int timeoutMs) {
  if (!impl_->thread.joinable()) return true;
  return impl_->finishedFuture.wait_for(std::chrono::milliseconds(timeoutMs)) ==
         std::future_status::ready;
}

void TRdpSession::Detach() {
  std::lock_guard lock(impl_->linkMutex);
  impl_->receiver = nullptr;
  impl_->events = nullptr;
}

void TRdpSession::SendScanCode(std::uint16_t code, bool extended, bool down) {
  impl_->Enqueue(
      {TInputEvent::Kind::Keyboard, static_cast<std::uint16_t>(extended ? 1 : 0), code, 0, down});
}

void TRdpSession::SendMouseMove(QPoint at) {
  impl_->Enqueue(
      {TInputEvent::Kind::Mouse, PTR_FLAGS_MOVE, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SendMouseButton(Qt::MouseButton button, bool down, QPoint at) {
  const auto flags = MouseButtonFlags(button, down);
  if (!flags) return;
  impl_->Enqueue({flags->extended ? TInputEvent::Kind::ExtendedMouse : TInputEvent::Kind::Mouse,
                  flags->flags, Clamp16(at.x()), Clamp16(at.y()), down});
}

void TRdpSession::SendWheel(int delta, bool horizontal, QPoint at) {
  for (const std::uint16_t flags : WheelFlags(delta, horizontal))
    impl_->Enqueue({TInputEvent::Kind::Mouse, flags, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SetDisplayLayout(const TRdpDisplayLayout& layout) {
  {
    std::lock_guard lock(impl_->displayMutex);
    impl_->wantedLayout = layout;
  }
  impl_->WakeForLayout();
}

void TRdpSession::SendLockState(bool capsLock, bool numLock, bool scrollLock) {
  impl_->Enqueue(
      {TInputEvent::Kind::Synchronize, LockStateFlags(capsLock, numLock, scrollLock), 0, 0, false});
}

QString TRdpSession::ReasonText(int reason) {
  if (reason == kDiscReasonLocal) return QStringLiteral("The session was disconnected locally");
  if (reason == kDiscReasonRemote) return QStringLiteral("The connection was closed");
  if (reason == kDiscReasonDesktopTooLarge) return QString::fromUtf16(kDesktopTooLargeText);
  if (reason == kDiscReasonNoMemory) return QString::fromUtf16(kNoMemoryText);
  const auto code = static_cast<UINT32>(reason);
  // FreeRDP's own codes carry a class in their high word; the server's error info does not.
  const char* text =
      (code >> 16) != 0 ? freerdp_get_last_error_string(code) : freerdp_get_error_info_string(code);
  return text != nullptr ? QString::fromUtf8(text) : QString();
}

std::uint32_t TRdpSession::LocalKeyboardLayout() {
  static const std::uint32_t layout = freerdp_keyboard_init(0);
  return layout;
}
