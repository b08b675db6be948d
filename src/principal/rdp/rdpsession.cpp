#include "principal/rdp/rdpsession.h"

#include "principal/rdp/rdpcontext.h"
#include "principal/rdp/rdpinputflags.h"
#include "principal/rdp/rdppointer.h"

#include <freerdp/addin.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/codec/color.h>
#include <freerdp/error.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/input.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/settings.h>
#include <winpr/synch.h>

#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

// How long the session waits for a person to answer the changed-certificate question.
constexpr auto kCertificateAnswerTimeout = std::chrono::minutes(10);
// How often a waiting session thread looks whether it was asked to stop.
constexpr auto kAbortPoll = std::chrono::milliseconds(100);
// The session loop wakes at least this often even when nothing happens.
constexpr DWORD kLoopTimeoutMs = 1000;

struct InputEvent {
  enum class Kind { Keyboard, Mouse, ExtendedMouse, Synchronize } kind;
  std::uint16_t flags = 0;
  std::uint16_t a = 0;  // scan code, or x
  std::uint16_t b = 0;  // y
  bool down = false;
};

}  // namespace

struct TRdpSession::Impl : std::enable_shared_from_this<TRdpSession::Impl>,
                           TRdpFrameSink::Listener {
  RdpConnectParams params;

  // The UI side. Only touched under linkMutex by the session thread; read on the UI thread.
  std::mutex linkMutex;
  QObject* receiver = nullptr;
  TRdpSessionEvents* events = nullptr;

  std::thread thread;
  std::promise<void> finished;
  std::shared_future<void> finishedFuture = finished.get_future().share();

  // The FreeRDP instance while it exists; Abort reaches it under this lock.
  std::mutex instanceMutex;
  freerdp* instance = nullptr;
  std::atomic<bool> abortRequested = false;

  HANDLE wake = nullptr;
  std::mutex inputMutex;
  std::deque<InputEvent> input;
  // Set with the queue's first event, so the busy loop looks at the queue only when it has one.
  std::atomic<bool> inputPending = false;

  // Changed screen areas not yet taken by the UI; one queued call is in flight at most.
  std::mutex dirtyMutex;
  QRegion dirty;
  bool dirtyPosted = false;

  TRdpFrameSink frameSink{*this};

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (wake != nullptr) CloseHandle(wake);
  }

  void Post(std::function<void(TRdpSessionEvents&)> call);
  void Run();
  bool Configure(freerdp* inst);
  int Reason(freerdp* inst) const;
  void Loop(freerdp* inst);
  void DrainInput(freerdp* inst);
  void Enqueue(const InputEvent& event);
  void FrameReplaced(const RdpFrame& frame) override;
  void FrameChanged(const QRegion& region) override;
  DWORD AskChangedCertificate(const char* host, const char* subject, const char* fingerprint);

  // FreeRDP callbacks
  static BOOL PreConnect(freerdp* inst);
  static BOOL PostConnect(freerdp* inst);
  static void PostDisconnect(freerdp* inst);
  static BOOL Authenticate(freerdp* inst, char** user, char** password, char** domain);
  static DWORD VerifyCertificate(freerdp* inst, const char* host, UINT16 port,
                                 const char* commonName, const char* subject, const char* issuer,
                                 const char* fingerprint, DWORD flags);
  static DWORD VerifyChangedCertificate(freerdp* inst, const char* host, UINT16 port,
                                        const char* commonName, const char* subject,
                                        const char* issuer, const char* fingerprint,
                                        const char* oldSubject, const char* oldIssuer,
                                        const char* oldFingerprint, DWORD flags);
};

namespace {

TRdpSession::Impl* SessionOf(rdpContext* context) {
  return reinterpret_cast<SessionContext*>(context)->session;
}
TRdpSession::Impl* SessionOf(freerdp* inst) {
  return SessionOf(inst->context);
}

void RegisterStaticChannels() {
  static std::once_flag once;
  std::call_once(
      once, [] { freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0); });
}

}  // namespace

void TRdpSession::Impl::Post(std::function<void(TRdpSessionEvents&)> call) {
  std::lock_guard lock(linkMutex);
  if (receiver == nullptr) return;
  QMetaObject::invokeMethod(
      receiver,
      [self = shared_from_this(), call = std::move(call)] {
        TRdpSessionEvents* target = nullptr;
        {
          std::lock_guard inner(self->linkMutex);
          target = self->events;
        }
        if (target != nullptr) call(*target);
      },
      Qt::QueuedConnection);
}

bool TRdpSession::Impl::Configure(freerdp* inst) {
  rdpSettings* settings = inst->settings;
  const std::string server = params.server.toStdString();
  const std::string user = params.userName.toStdString();
  std::string password = params.password.toStdString();
  bool ok =
      freerdp_settings_set_string(settings, FreeRDP_ServerHostname, server.c_str()) &&
      freerdp_settings_set_uint32(settings, FreeRDP_ServerPort, static_cast<UINT32>(params.port)) &&
      freerdp_settings_set_string(settings, FreeRDP_Username, user.c_str()) &&
      freerdp_settings_set_string(settings, FreeRDP_Password, password.c_str());
  // The copy was only the way in; FreeRDP keeps its own for the session.
  std::fill(password.begin(), password.end(), '\0');
  ok = ok &&
       freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth,
                                   static_cast<UINT32>(params.width)) &&
       freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight,
                                   static_cast<UINT32>(params.height)) &&
       freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, 32) &&
       freerdp_settings_set_bool(settings, FreeRDP_SoftwareGdi, TRUE) &&
       // Plain bitmap updates (planar, interleaved) rather than RemoteFX: in FreeRDP 2 the
       // RemoteFX decoder hands every 64 x 64 tile to a thread pool, and on a small machine
       // the thread switches cost more than the decoding. Measured side by side (bench/rdp),
       // bitmaps take about half the CPU per frame shown for the same frames.
       freerdp_settings_set_bool(settings, FreeRDP_RemoteFxCodec, FALSE) &&
       freerdp_settings_set_bool(settings, FreeRDP_FastPathOutput, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_FrameMarkerCommandEnabled, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_SurfaceFrameMarkerEnabled, TRUE) &&
       // Reconnecting is the person's choice ("Reconectar"), not an automatic retry.
       freerdp_settings_set_bool(settings, FreeRDP_AutoReconnectionEnabled, FALSE) &&
       freerdp_settings_set_uint32(settings, FreeRDP_OsMajorType, OSMAJORTYPE_UNIX) &&
       freerdp_settings_set_uint32(settings, FreeRDP_OsMinorType, OSMINORTYPE_NATIVE_XSERVER);
  if (params.keyboardLayout != 0)
    ok = ok && freerdp_settings_set_uint32(settings, FreeRDP_KeyboardLayout, params.keyboardLayout);
  if (params.sound) ok = ok && freerdp_settings_set_bool(settings, FreeRDP_AudioPlayback, TRUE);
  for (const auto& device : params.devices) {
    std::vector<std::string> texts;
    for (const auto& part : device) texts.push_back(part.toStdString());
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    ok = ok && freerdp_client_add_device_channel(settings, pointers.size(), pointers.data());
  }
  return ok;
}

void TRdpSession::Impl::Run() {
  RegisterStaticChannels();
  freerdp* inst = freerdp_new();
  bool contextMade = false;
  int reason = kDiscReasonRemote;
  if (inst != nullptr) {
    inst->ContextSize = sizeof(SessionContext);
    inst->PreConnect = PreConnect;
    inst->PostConnect = PostConnect;
    inst->PostDisconnect = PostDisconnect;
    inst->Authenticate = Authenticate;
    inst->VerifyCertificateEx = VerifyCertificate;
    inst->VerifyChangedCertificateEx = VerifyChangedCertificate;
    contextMade = freerdp_context_new(inst) != FALSE;
  }
  if (contextMade) {
    reinterpret_cast<SessionContext*>(inst->context)->session = this;
    reinterpret_cast<SessionContext*>(inst->context)->frame = &frameSink;
    const bool configured = Configure(inst);
    {
      std::lock_guard lock(instanceMutex);
      instance = inst;
    }
    if (configured && !abortRequested && freerdp_connect(inst)) {
      Post([](TRdpSessionEvents& e) { e.SessionConnected(); });
      Loop(inst);
      reason = Reason(inst);
      freerdp_disconnect(inst);
    } else {
      reason = Reason(inst);
    }
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
  while (!freerdp_shall_disconnect(inst)) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = freerdp_get_event_handles(inst->context, handles, MAXIMUM_WAIT_OBJECTS - 1);
    if (count == 0) break;
    handles[count++] = wake;
    if (WaitForMultipleObjects(count, handles, FALSE, kLoopTimeoutMs) == WAIT_FAILED) break;
    DrainInput(inst);
    if (!freerdp_check_event_handles(inst->context)) break;
  }
}

void TRdpSession::Impl::DrainInput(freerdp* inst) {
  // The loop turns many times a frame while the screen moves; most turns bring no input.
  if (!inputPending.exchange(false)) return;
  std::deque<InputEvent> pending;
  {
    std::lock_guard lock(inputMutex);
    pending.swap(input);
    ResetEvent(wake);
  }
  rdpInput* in = inst->input;
  for (size_t i = 0; i < pending.size(); ++i) {
    const InputEvent& event = pending[i];
    switch (event.kind) {
      case InputEvent::Kind::Keyboard:
        freerdp_input_send_keyboard_event_ex(in, event.down ? TRUE : FALSE,
                                             MAKE_RDP_SCANCODE(event.a, event.flags != 0));
        break;
      case InputEvent::Kind::Mouse:
        // Only the last of a run of moves matters; the rest would only delay the clicks.
        if (event.flags == PTR_FLAGS_MOVE && i + 1 < pending.size() &&
            pending[i + 1].kind == InputEvent::Kind::Mouse &&
            pending[i + 1].flags == PTR_FLAGS_MOVE)
          break;
        freerdp_input_send_mouse_event(in, event.flags, event.a, event.b);
        break;
      case InputEvent::Kind::ExtendedMouse:
        freerdp_input_send_extended_mouse_event(in, event.flags, event.a, event.b);
        break;
      case InputEvent::Kind::Synchronize:
        freerdp_input_send_synchronize_event(in, event.flags);
        break;
    }
  }
}

void TRdpSession::Impl::Enqueue(const InputEvent& event) {
  std::lock_guard lock(inputMutex);
  input.push_back(event);
  inputPending = true;
  if (wake != nullptr) SetEvent(wake);
}

void TRdpSession::Impl::FrameReplaced(const RdpFrame& frame) {
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

DWORD TRdpSession::Impl::AskChangedCertificate(const char* host, const char* subject,
                                               const char* fingerprint) {
  auto answer = std::make_shared<std::promise<bool>>();
  auto future = answer->get_future();
  Post([answer, host = QString::fromUtf8(host), subject = QString::fromUtf8(subject),
        fingerprint = QString::fromUtf8(fingerprint)](TRdpSessionEvents& e) {
    bool accept = false;
    try {
      accept = e.SessionConfirmChangedCertificate(host, subject, fingerprint);
    } catch (...) {
      accept = false;
    }
    answer->set_value(accept);
  });
  // The session thread holds the connection until the person answers; a Disconnect or a control
  // that goes away ends the wait as a refusal (an unanswered question breaks the promise).
  const auto deadline = std::chrono::steady_clock::now() + kCertificateAnswerTimeout;
  while (future.wait_for(kAbortPoll) != std::future_status::ready) {
    if (abortRequested || std::chrono::steady_clock::now() > deadline) return 0;
  }
  try {
    return future.get() ? 1 : 0;
  } catch (const std::future_error&) {
    return 0;
  }
}

BOOL TRdpSession::Impl::PreConnect(freerdp* inst) {
  return freerdp_client_load_addins(inst->context->channels, inst->settings);
}

BOOL TRdpSession::Impl::PostConnect(freerdp* inst) {
  if (!SessionOf(inst)->frameSink.Attach(inst)) return FALSE;
  RegisterSessionPointer(inst->context);
  return TRUE;
}

void TRdpSession::Impl::PostDisconnect(freerdp* inst) {
  SessionOf(inst)->frameSink.Detach(inst);
}

BOOL TRdpSession::Impl::Authenticate(freerdp*, char**, char**, char**) {
  // The name and password were set before connecting; there is nobody to ask for others.
  return TRUE;
}

DWORD TRdpSession::Impl::VerifyCertificate(freerdp*, const char*, UINT16, const char*, const char*,
                                           const char*, const char*, DWORD) {
  // A server seen for the first time is trusted and remembered, as the desktop has always
  // connected without a question; only a later change is worth asking about.
  return 1;
}

DWORD TRdpSession::Impl::VerifyChangedCertificate(freerdp* inst, const char* host, UINT16,
                                                  const char*, const char* subject, const char*,
                                                  const char* fingerprint, const char*, const char*,
                                                  const char*, DWORD) {
  return SessionOf(inst)->AskChangedCertificate(host, subject, fingerprint);
}

void ReportSessionCursor(rdpContext* context, const QImage& image, QPoint hotSpot, bool visible) {
  SessionOf(context)->Post([image, hotSpot, visible](TRdpSessionEvents& e) {
    e.SessionCursor(image, hotSpot, visible);
  });
}

TRdpSession::TRdpSession(RdpConnectParams params, QObject* receiver, TRdpSessionEvents* events)
    : impl_(std::make_shared<Impl>()) {
  impl_->params = std::move(params);
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
  std::fill(impl_->params.password.begin(), impl_->params.password.end(), QChar(0));
}

void TRdpSession::Start() {
  auto impl = impl_;
  impl_->thread = std::thread([impl] { impl->Run(); });
}

void TRdpSession::Abort() {
  impl_->abortRequested = true;
  std::lock_guard lock(impl_->instanceMutex);
  if (impl_->instance != nullptr) freerdp_abort_connect(impl_->instance);
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
      {InputEvent::Kind::Keyboard, static_cast<std::uint16_t>(extended ? 1 : 0), code, 0, down});
}

void TRdpSession::SendMouseMove(QPoint at) {
  impl_->Enqueue(
      {InputEvent::Kind::Mouse, PTR_FLAGS_MOVE, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SendMouseButton(Qt::MouseButton button, bool down, QPoint at) {
  const auto flags = MouseButtonFlags(button, down);
  if (!flags) return;
  impl_->Enqueue({flags->extended ? InputEvent::Kind::ExtendedMouse : InputEvent::Kind::Mouse,
                  flags->flags, Clamp16(at.x()), Clamp16(at.y()), down});
}

void TRdpSession::SendWheel(int delta, bool horizontal, QPoint at) {
  for (const std::uint16_t flags : WheelFlags(delta, horizontal))
    impl_->Enqueue({InputEvent::Kind::Mouse, flags, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SendLockState(bool capsLock, bool numLock, bool scrollLock) {
  impl_->Enqueue(
      {InputEvent::Kind::Synchronize, LockStateFlags(capsLock, numLock, scrollLock), 0, 0, false});
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
