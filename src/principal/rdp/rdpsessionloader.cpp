#include "principal/rdp/rdpsessionloader.h"

#include <dlfcn.h>

#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <algorithm>
#include <filesystem>
#include <future>
#include <mutex>
#include <system_error>

#include "principal/rdp/rdplog.h"

// A program that links the FreeRDP session in (the tests do, to drive real servers without an
// installation) defines this; the shipped program does not, and loads the library instead.
extern "C" const TRdpSessionLibrary* zentra_rdp_session_library() __attribute__((weak));

namespace {

struct LoadedSessionLibrary {
  const TRdpSessionLibrary* library = nullptr;
  QString error;
};

// Where the session library is installed, relative to the program's own folder: the same in the
// build folder and in an installation (the build system lays it out so).
std::filesystem::path SessionLibraryPath() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return program.parent_path() / ZENTRA_RDP_SESSION_LIBRARY_DIR / ZENTRA_RDP_SESSION_LIBRARY_FILE;
}

LoadedSessionLibrary LoadSessionLibrary() {
  if (zentra_rdp_session_library != nullptr) return {zentra_rdp_session_library(), {}};
  const auto path = SessionLibraryPath();
  if (path.empty()) return {nullptr, QStringLiteral("the program's own path is unknown")};
  // Kept loaded for the life of the program: sessions, their threads and FreeRDP's channels
  // come and go, the code behind them must not.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return {nullptr, QString::fromLocal8Bit(dlerror())};
  using Entry = const TRdpSessionLibrary* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, kRdpSessionLibraryEntry));
  if (entry == nullptr) return {nullptr, QString::fromLocal8Bit(dlerror())};
  return {entry(), {}};
}

const LoadedSessionLibrary& SessionLibrary() {
  static std::once_flag once;
  // Never destroyed, like the library it names: the preload thread may fill it while the program
  // is already ending, and a destructor at exit would race that thread.
  static LoadedSessionLibrary& loaded = *new LoadedSessionLibrary;
  std::call_once(once, [] {
    loaded = LoadSessionLibrary();
    if (loaded.library == nullptr)
      qCCritical(lcRdp).noquote() << "the remote desktop library did not load:" << loaded.error;
  });
  return loaded;
}

// The session when the library is missing: it ends at once with a reason that says so, through
// the same path as any other failed connection.
class TUnavailableRdpSession : public IRdpSession {
 public:
  TUnavailableRdpSession(QObject* receiver, TRdpSessionEvents* events)
      : receiver_(receiver), events_(events) {}

  void Start() override {
    QMetaObject::invokeMethod(
        receiver_.data(),
        [receiver = receiver_, events = events_, detached = detached_] {
          if (receiver && !*detached) events->SessionDisconnected(kDiscReasonNoSessionLibrary);
        },
        Qt::QueuedConnection);
  }
  void Abort() override {}
  [[nodiscard]] bool Wait(int /*timeoutMs*/) override { return true; }
  void Detach() override { *detached_ = true; }
  void SendScanCode(std::uint16_t /*code*/, bool /*extended*/, bool /*down*/) override {}
  void SendMouseMove(QPoint /*at*/) override {}
  void SendMouseButton(Qt::MouseButton /*button*/, bool /*down*/, QPoint /*at*/) override {}
  void SendWheel(int /*delta*/, bool /*horizontal*/, QPoint /*at*/) override {}
  void SendLockState(bool /*capsLock*/, bool /*numLock*/, bool /*scrollLock*/) override {}
  void SetDisplayLayout(const TRdpDisplayLayout& /*layout*/) override {}

 private:
  QPointer<QObject> receiver_;
  TRdpSessionEvents* events_;
  std::shared_ptr<bool> detached_ = std::make_shared<bool>(false);
};

TRdpSessionFactory& InstalledFactory() {
  static TRdpSessionFactory factory;
  return factory;
}

// A network that drops for a moment comes back within seconds, a restarted server within a
// minute or two: 20 attempts, the pauses doubling from one second up to six, about two minutes
// in all with the attempts' own time.
std::vector<std::chrono::milliseconds> ShippedReconnectDelays() {
  constexpr int kAttempts = 20;
  constexpr auto kFirst = std::chrono::milliseconds(1000);
  constexpr auto kLongest = std::chrono::milliseconds(6000);
  std::vector<std::chrono::milliseconds> delays;
  auto delay = kFirst;
  for (int i = 0; i < kAttempts; ++i) {
    delays.push_back(delay);
    delay = std::min(delay * 2, kLongest);
  }
  return delays;
}

std::mutex& DelaysMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::chrono::milliseconds>& InstalledDelays() {
  static std::vector<std::chrono::milliseconds> delays;
  return delays;
}

}  // namespace

std::unique_ptr<IRdpSession> MakeRdpSession(TRdpConnectParams params, QObject* receiver,
                                            TRdpSessionEvents* events) {
  if (const auto& factory = InstalledFactory()) return factory(std::move(params), receiver, events);
  if (const TRdpSessionLibrary* library = SessionLibrary().library)
    return library->create(std::move(params), receiver, events);
  return std::make_unique<TUnavailableRdpSession>(receiver, events);
}

QString RdpReasonText(int reason) {
  if (reason == kDiscReasonNoSessionLibrary) return QString::fromUtf16(kNoSessionLibraryText);
  if (const TRdpSessionLibrary* library = SessionLibrary().library)
    return library->reasonText(reason);
  return {};
}

std::uint32_t RdpLocalKeyboardLayout() {
  if (const TRdpSessionLibrary* library = SessionLibrary().library)
    return library->localKeyboardLayout();
  return 0;  // the server's own choice
}

void PreloadRdpSessionLibrary() {
  // The future's end waits for the load at exit, so the program never ends half-way through it.
  static std::future<void> preload = std::async(std::launch::async, [] { (void)SessionLibrary(); });
}

void SetRdpSessionFactory(TRdpSessionFactory factory) {
  InstalledFactory() = std::move(factory);
}

std::vector<std::chrono::milliseconds> RdpReconnectDelays() {
  {
    std::lock_guard lock(DelaysMutex());
    if (!InstalledDelays().empty()) return InstalledDelays();
  }
  return ShippedReconnectDelays();
}

void SetRdpReconnectDelays(std::vector<std::chrono::milliseconds> delays) {
  std::lock_guard lock(DelaysMutex());
  InstalledDelays() = std::move(delays);
}
