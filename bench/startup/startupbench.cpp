// Start-up as a person feels it: from exec to the login window mapped on the X display, set
// against a bare Qt window of the same size started the same way, taking turns in one run so a
// change in the machine's load falls on both alike. Reports only.
//
//   zentra_startup_bench [ROUNDS [OTHER]]
//                                   runs the comparison (default 10 rounds after one warm-up each);
//                                   OTHER, another build of the program (the one before a change),
//                                   takes its turn in every round beside ours
//   zentra_startup_bench --bare W H (internal) the bare window: QApplication, one QWidget, show
//   zentra_startup_bench --text W H (internal) the same with one line of text: what any window
//                                   that shows text pays for the font system (fontconfig)

// Qt first: Xlib's macros (Bool, Status) break Qt's headers.
#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QWidget>

#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "childprocess.h"
#include "xvfb.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMapLimit = std::chrono::seconds(30);

int RunBare(int argc, char** argv, int width, int height, bool withText) {
  QApplication application(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare"));
  window.resize(width, height);
  if (withText) (void)new QLabel(QStringLiteral("Usuário"), &window);
  window.show();
  return application.exec();
}

// One start: wall time from exec to the first top-level window mapped, the CPU the process had
// used by then (it is ended right after), and that window's size.
struct Start {
  double wallMs = 0;
  double cpuMs = 0;
  int width = 0;
  int height = 0;
};

double Milliseconds(const timeval& t) {
  return t.tv_sec * 1000.0 + t.tv_usec / 1000.0;
}

std::optional<Start> StartOnce(Display* display, const std::vector<std::string>& command) {
  const Window root = DefaultRootWindow(display);
  XSync(display, False);
  while (XPending(display) > 0) {
    XEvent stale;
    XNextEvent(display, &stale);
  }
  std::vector<char*> args;
  for (const auto& part : command) args.push_back(const_cast<char*>(part.c_str()));
  args.push_back(nullptr);
  const auto begin = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return std::nullopt;

  std::optional<Start> result;
  const int fd = ConnectionNumber(display);
  while (!result && Clock::now() - begin < kMapLimit) {
    if (XPending(display) == 0) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(fd, &readable);
      timeval wait{0, 100000};
      select(fd + 1, &readable, nullptr, nullptr, &wait);
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != MapNotify || event.xmap.event != root || event.xmap.override_redirect)
      continue;
    const auto mapped = Clock::now();
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, event.xmap.window, &attributes);
    result = Start{std::chrono::duration<double, std::milli>(mapped - begin).count(), 0,
                   attributes.width, attributes.height};
  }
  kill(pid, SIGKILL);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (result) result->cpuMs = Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
  (void)root;
  return result;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && (std::string(argv[1]) == "--bare" || std::string(argv[1]) == "--text"))
    return RunBare(argc, argv, std::atoi(argv[2]), std::atoi(argv[3]),
                   std::string(argv[1]) == "--text");
  const int rounds = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 10;

  // A display of our own, so no desktop's windows or window manager take part; on a display
  // number of its own, as the tests' servers are.
  QCoreApplication application(argc, argv);
  QProcess xvfb;
  QString failure;
  const std::string displayName =
      StartXvfb(xvfb,
                {QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                 QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                failure)
          .toStdString();
  if (displayName.empty()) {
    std::fprintf(stderr, "startup bench: no X display: %s\n", qPrintable(failure));
    return 1;
  }
  char home[] = "/tmp/zentra-startup-XXXXXX";
  if (mkdtemp(home) == nullptr) return 1;
  setenv("DISPLAY", displayName.c_str(), 1);
  setenv("HOME", home, 1);
  setenv("XDG_CONFIG_HOME", (std::string(home) + "/config").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  const std::string runtime = std::string(home) + "/runtime";
  mkdir(runtime.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  Display* display = XOpenDisplay(displayName.c_str());
  if (display == nullptr) {
    std::fprintf(stderr, "startup bench: cannot open %s\n", displayName.c_str());
    return 1;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

  const std::vector<std::string> ours = {ZENTRA_PROGRAM};
  std::vector<std::string> other;
  if (argc >= 3) other = {argv[2]};
  // The warm-up start fills the page cache and tells the login window's size.
  const auto first = StartOnce(display, ours);
  if (!first) {
    std::fprintf(stderr, "startup bench: the login window never mapped\n");
    return 1;
  }
  const std::vector<std::string> bare = {argv[0], "--bare", std::to_string(first->width),
                                         std::to_string(first->height)};
  std::vector<std::string> text = bare;
  text[1] = "--text";
  (void)StartOnce(display, bare);
  (void)StartOnce(display, text);
  if (!other.empty() && !StartOnce(display, other)) {
    std::fprintf(stderr, "startup bench: %s never mapped a window\n", other[0].c_str());
    return 1;
  }

  std::vector<double> oursWall, oursCpu, bareWall, bareCpu, textWall, textCpu, otherWall, otherCpu;
  for (int round = 1; round <= rounds; ++round) {
    const auto b = StartOnce(display, bare);
    const auto t = StartOnce(display, text);
    const auto o = StartOnce(display, ours);
    const auto x = other.empty() ? std::optional<Start>(Start{}) : StartOnce(display, other);
    if (!b || !t || !o || !x) {
      std::printf("round %2d  failed\n", round);
      continue;
    }
    std::printf(
        "round %2d  bare %6.1f ms (%5.1f ms CPU)   text %6.1f ms (%5.1f ms CPU)   ours %6.1f ms "
        "(%5.1f ms CPU)",
        round, b->wallMs, b->cpuMs, t->wallMs, t->cpuMs, o->wallMs, o->cpuMs);
    if (!other.empty()) std::printf("   other %6.1f ms (%5.1f ms CPU)", x->wallMs, x->cpuMs);
    std::printf("\n");
    std::fflush(stdout);
    otherWall.push_back(x->wallMs);
    otherCpu.push_back(x->cpuMs);
    bareWall.push_back(b->wallMs);
    bareCpu.push_back(b->cpuMs);
    textWall.push_back(t->wallMs);
    textCpu.push_back(t->cpuMs);
    oursWall.push_back(o->wallMs);
    oursCpu.push_back(o->cpuMs);
  }
  XCloseDisplay(display);
  StopChild(&xvfb);
  std::string cleanup = std::string("rm -rf '") + home + "'";
  (void)std::system(cleanup.c_str());

  if (oursWall.empty()) return 1;
  std::printf("start-up to the window mapped, %dx%d, median of %zu rounds\n", first->width,
              first->height, oursWall.size());
  std::printf("bare Qt window:  %6.1f ms  (%5.1f ms CPU)\n", Median(bareWall), Median(bareCpu));
  std::printf("same with text:  %6.1f ms  (%5.1f ms CPU)\n", Median(textWall), Median(textCpu));
  std::printf("login window:    %6.1f ms  (%5.1f ms CPU)\n", Median(oursWall), Median(oursCpu));
  if (!other.empty()) {
    std::printf("other build:     %6.1f ms  (%5.1f ms CPU)  %s\n", Median(otherWall),
                Median(otherCpu), other[0].c_str());
  }
  std::printf("ratio ours/bare: %.2f wall, %.2f CPU (target at most 1.50)\n",
              Median(oursWall) / Median(bareWall), Median(oursCpu) / Median(bareCpu));
  std::printf("ratio ours/text: %.2f wall, %.2f CPU\n", Median(oursWall) / Median(textWall),
              Median(oursCpu) / Median(textCpu));
  if (!other.empty()) {
    std::printf("ratio other/bare: %.2f wall, %.2f CPU\n", Median(otherWall) / Median(bareWall),
                Median(otherCpu) / Median(bareCpu));
  }
  return 0;
}
