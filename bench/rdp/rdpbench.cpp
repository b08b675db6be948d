// The session as a person feels it, against xfreerdp (its default mode, RemoteFX and the graphics
// pipeline), each connected for the same period to the same server while its display runs a
// full-screen animation: the frames each one put on its screen, how old the picture was when it
// got there, the bytes the server sent and the client's CPU; first on loopback, then through a
// link as a home connection to a hosted desktop has (20 Mbit/s each way, 25 ms each way). Then
// our control's CPU on a still desktop. Reports only.
//
// Frames on the screen are counted the same way for every client, outside it: at each of the X
// server's damage reports on the clients' display the bench reads the grey block in which the
// animation writes its frame number, and counts each change; beside it the animation stamps the
// time it drew the frame, and the stamp's age when it first appears is the frame's latency.
//
//   zentra_rdp_bench [SECONDS [ROUNDS [WIDTHxHEIGHT]]]  runs the comparison (default 15 s per
//       client, 3 rounds, the view of a window maximised on a 1280 x 1024 screen: 1280x986)
//   zentra_rdp_bench --client PORT WIDTH HEIGHT [hidden]  (internal) our control as a client
//       process; hidden leaves the view unshown (receiving and decoding only)
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "linkproxy.h"
#include "principal/rdp/msrdpclient.h"
#include "rdptestserver.h"
#include "shell/boxes.h"
#include "xvfb.h"

// After Qt: Xlib's macros (Bool, Status) break Qt's headers.
#include "shownframes.h"

namespace {

constexpr int kWarmUpMs = 4000;
// The size the clients ask for unless told: the view of the session window maximised on this
// 1280 x 1024 screen, which the control asks for by default.
constexpr int kViewWidth = 1280;
constexpr int kViewHeight = 986;
// The link of a typical home connection to a hosted desktop.
constexpr std::int64_t kLinkBitsPerSecond = 20'000'000;
constexpr auto kLinkDelay = std::chrono::milliseconds(25);

// User + system CPU seconds a process has used so far (from /proc).
std::optional<double> CpuSeconds(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray text = stat.readAll();
  const auto fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  if (fields.size() < 13) return std::nullopt;
  const double ticks = fields[11].toDouble() + fields[12].toDouble();  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The machine's load (1, 5 and 15 minutes), which the bench shares with whatever else runs.
QString LoadAverage() {
  QFile file(QStringLiteral("/proc/loadavg"));
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("unknown");
  return QString::fromLatin1(file.readAll().split(' ').mid(0, 3).join(' '));
}

void Sleep(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QThread::msleep(20);
  }
}

// What one client did in the measured period.
struct Measurement {
  double cpuSeconds = 0;
  int shown = 0;   // frames that reached the client's screen (damage bursts)
  int frames = 0;  // frames the server sent and the client decoded (RemoteFX frame-end markers)
  int paints = 0;  // repaints of our view (our client only)
  std::int64_t bytes = 0;      // from the server
  std::vector<int> latencies;  // ms from the server's drawing to the client's screen
};

// FreeRDP logs each frame marker it receives at debug level; the clients log only those lines and
// errors, so counting them gives the frames each one received, by the same rule for both.
constexpr char kFrameEndMarker[] = "SurfaceFrameMarker: action: End";

int CountFrames(const QByteArray& log) {
  return static_cast<int>(log.count(kFrameEndMarker));
}

// Our client notes each repaint of the remote desktop's view, to set against the frames received.
constexpr char kPaintMarker[] = "[DEBUG] bench client: painted";

class PaintCounter : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      std::printf("%s\n", kPaintMarker);
      std::fflush(stdout);
    }
    return QObject::eventFilter(watched, event);
  }
};

// Everything else a client writes is worth seeing.
void ForwardOtherLines(const QByteArray& log) {
  for (const QByteArray& line : log.split('\n'))
    if (!line.isEmpty() && !line.contains("[DEBUG]"))
      std::fprintf(stderr, "%s\n", line.constData());
}

// Starts a client process, lets it connect and settle, then measures it for seconds.
std::optional<Measurement> Measure(const QString& program, const QStringList& arguments,
                                   const QProcessEnvironment& env, int seconds,
                                   const ShownFrames& shown, const LinkProxy& link) {
  QProcess client;
  client.setProcessEnvironment(env);
  // FreeRDP writes debug lines to the standard output and errors to the error output.
  client.setProcessChannelMode(QProcess::MergedChannels);
  client.start(program, arguments);
  if (!client.waitForStarted(10000)) return std::nullopt;
  Sleep(kWarmUpMs);
  ForwardOtherLines(client.readAllStandardOutput());
  const auto before = CpuSeconds(client.processId());
  const int shownBefore = shown.Count();
  const std::size_t latenciesBefore = shown.LatencyCount();
  const std::int64_t bytesBefore = link.BytesDown();
  Sleep(seconds * 1000);
  const auto after = CpuSeconds(client.processId());
  const int shownFrames = shown.Count() - shownBefore;
  const std::int64_t bytes = link.BytesDown() - bytesBefore;
  std::vector<int> latencies = shown.Latencies(latenciesBefore);
  const QByteArray log = client.readAllStandardOutput();
  const bool alive = client.state() == QProcess::Running;
  client.terminate();
  if (!client.waitForFinished(5000)) {
    client.kill();
    client.waitForFinished(5000);
  }
  ForwardOtherLines(log + client.readAllStandardOutput());
  if (!before || !after || !alive) return std::nullopt;
  return Measurement{*after - *before,
                     shownFrames,
                     CountFrames(log),
                     static_cast<int>(log.count(kPaintMarker)),
                     bytes,
                     std::move(latencies)};
}

int RunClient(int argc, char** argv, int port, int width, int height, bool shown) {
  QApplication application(argc, argv);
  // The bench's own server: its certificate is trusted without a box (a build without the test
  // authority would ask).
  SetBoxInterceptor([](const TBoxRequest&) { return 0; });
  TMsRdpClient client;
  // The server keeps its 1024 x 768: shown 1:1 in the middle of a larger view.
  client.resize(width, height);
  if (shown) client.show();
  PaintCounter paints;
  client.viewport()->installEventFilter(&paints);
  client.SetServer(QStringLiteral("127.0.0.1"));
  client.SetUserName(QString::fromLatin1(TestRdpServer::kUser));
  client.AdvancedSettings2()->SetRDPPort(port);
  client.AdvancedSettings2()->SetClearTextPassword(QString::fromLatin1(TestRdpServer::kPassword));
  QObject::connect(&client, &TMsRdpClient::OnDisconnected, &application, [](int reason) {
    std::fprintf(stderr, "bench client: disconnected (%d)\n", reason);
    QCoreApplication::exit(1);
  });
  client.Connect();
  return application.exec();
}

// The value below which a share of the sorted values lies (nearest rank).
double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

double Median(const std::vector<double>& values) {
  return Percentile(values, 0.5);
}

// One contender's rounds in one setting, and what the report takes from them.
struct Rounds {
  std::vector<Measurement> rounds;
  int failed = 0;

  [[nodiscard]] double MedianOf(double (*what)(const Measurement&)) const {
    std::vector<double> values;
    for (const Measurement& m : rounds) values.push_back(what(m));
    return Median(values);
  }
  [[nodiscard]] double Shown() const {
    return MedianOf([](const Measurement& m) { return static_cast<double>(m.shown); });
  }
  [[nodiscard]] double CpuPerShown() const {
    return MedianOf(
        [](const Measurement& m) { return m.shown > 0 ? 1000.0 * m.cpuSeconds / m.shown : 0.0; });
  }
  [[nodiscard]] double Cpu() const {
    return MedianOf([](const Measurement& m) { return m.cpuSeconds; });
  }
  [[nodiscard]] double MegaBytes() const {
    return MedianOf([](const Measurement& m) { return static_cast<double>(m.bytes) / 1e6; });
  }
  // Latencies of all rounds together.
  [[nodiscard]] double Latency(double share) const {
    std::vector<double> all;
    for (const Measurement& m : rounds)
      for (int ms : m.latencies) all.push_back(ms);
    return Percentile(all, share);
  }
};

void PrintMeasurement(const char* setting, int round, const char* who,
                      const std::optional<Measurement>& m) {
  if (!m) {
    std::printf("%-8s round %d  %-14s failed\n", setting, round, who);
  } else {
    std::vector<double> latencies(m->latencies.begin(), m->latencies.end());
    std::printf(
        "%-8s round %d  %-14s %5d shown  %6.2f s CPU  %6.2f ms CPU/shown  latency p50 %5.0f "
        "p90 %5.0f ms  %6.1f MB from the server  %d received%s\n",
        setting, round, who, m->shown, m->cpuSeconds,
        m->shown > 0 ? 1000.0 * m->cpuSeconds / m->shown : 0.0, Percentile(latencies, 0.5),
        Percentile(latencies, 0.9), static_cast<double>(m->bytes) / 1e6, m->frames,
        m->paints > 0 ? qPrintable(QStringLiteral(", %1 repaints").arg(m->paints)) : "");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && QByteArray(argv[1]) == "--client")
    return RunClient(argc, argv, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                     argc < 6 || QByteArray(argv[5]) != "hidden");
  const int seconds = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 15;
  const int rounds = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3;
  int viewWidth = kViewWidth;
  int viewHeight = kViewHeight;
  if (argc >= 4) {
    const auto size = QByteArray(argv[3]).split('x');
    if (size.size() != 2 || size[0].toInt() < 200 || size[1].toInt() < 200 ||
        size[0].toInt() > 1280 || size[1].toInt() > 1024) {
      std::fprintf(stderr, "bench: the size is WIDTHxHEIGHT, at most 1280x1024\n");
      return 2;
    }
    viewWidth = size[0].toInt();
    viewHeight = size[1].toInt();
  }

  QCoreApplication application(argc, argv);
  TestRdpServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "bench: server: %s\n", qPrintable(server.Failure()));
    return 1;
  }
  // Loopback goes through a link that only counts the bytes, so both settings count alike.
  LinkProxy loopback(server.Port(), {});
  LinkProxy slow(server.Port(), {kLinkDelay, kLinkBitsPerSecond});
  if (!loopback.Working() || !slow.Working()) {
    std::fprintf(stderr, "bench: no link\n");
    return 1;
  }
  // The clients draw on a display of their own, as they would on a person's desktop.
  QProcess clientDisplay;
  QString displayFailure;
  const QString clientDisplayName =
      StartXvfb(clientDisplay,
                {QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                 QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                displayFailure);
  if (clientDisplayName.isEmpty()) {
    std::fprintf(stderr, "bench: no client display: %s\n", qPrintable(displayFailure));
    return 1;
  }
  QTemporaryDir home;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DISPLAY"), clientDisplayName);
  env.insert(QStringLiteral("HOME"), home.path());
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  env.insert(QStringLiteral("WLOG_LEVEL"), QStringLiteral("ERROR"));
  env.insert(QStringLiteral("WLOG_FILTER"), QStringLiteral("com.freerdp.core.update:DEBUG"));
  // Our control's word on the codecs the server sent goes to the bench's error output.
  env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("zentra.rdp.info=true"));

  const QByteArray displayName = clientDisplayName.toLatin1();
  auto shownOwner = std::make_unique<ShownFrames>(displayName.constData());
  const ShownFrames& shown = *shownOwner;
  if (!shown.Working()) {
    std::fprintf(stderr, "bench: no damage reports from the client display\n");
    return 1;
  }

  const QString self = QCoreApplication::applicationFilePath();
  const QString animation = QDir(QCoreApplication::applicationDirPath())
                                .filePath(QStringLiteral("zentra_rdp_bench_animation"));
  auto ours = [&](const LinkProxy& link) {
    return QStringList{QStringLiteral("--client"), QString::number(link.Port()),
                       QString::number(viewWidth), QString::number(viewHeight)};
  };
  // xfreerdp on the same terms: 32 bpp, the sound channel that our control always opens, no
  // window decorations (there is no window manager). In FreeRDP 2 "-gfx" switches the graphics
  // pipeline on, so it is left out and each mode below is what its name says.
  auto common = [&](const LinkProxy& link) {
    return QStringList{QStringLiteral("/v:127.0.0.1:%1").arg(link.Port()),
                       QStringLiteral("/u:%1").arg(QString::fromLatin1(TestRdpServer::kUser)),
                       QStringLiteral("/p:%1").arg(QString::fromLatin1(TestRdpServer::kPassword)),
                       QStringLiteral("/cert:ignore"),
                       QStringLiteral("/size:%1x%2").arg(viewWidth).arg(viewHeight),
                       QStringLiteral("/bpp:32"),
                       QStringLiteral("/sound"),
                       QStringLiteral("-decorations")};
  };
  struct Contender {
    const char* name;
    QString program;
    QStringList extra;  // for xfreerdp: the mode
  };
  const std::vector<Contender> contenders = {
      {"ours", self, {}},
      {"xf default", QStringLiteral("xfreerdp"), {}},
      {"xf /rfx", QStringLiteral("xfreerdp"), {QStringLiteral("/rfx")}},
      {"xf /gfx", QStringLiteral("xfreerdp"), {QStringLiteral("/gfx")}},
      // What H.264 costs with FreeRDP's decoder, which ours does not offer by default.
      {"xf /gfx:AVC420", QStringLiteral("xfreerdp"), {QStringLiteral("/gfx:AVC420")}},
  };
  struct Setting {
    const char* name;
    const LinkProxy& link;
    std::vector<Rounds> results;
  };
  std::vector<Setting> settings = {{"loopback", loopback, {}}, {"link", slow, {}}};
  for (Setting& setting : settings) setting.results.resize(contenders.size());

  QProcess* moving = server.Launch(animation, {});
  if (moving == nullptr) {
    std::fprintf(stderr, "bench: animation did not start\n");
    return 1;
  }
  Sleep(1000);
  std::printf(
      "session benchmark: %d s per client, %d rounds, view %dx%d, server 1024x768 animation at 30 "
      "frames a second, 32 bpp; link: %lld Mbit/s and %lld ms each way\n",
      seconds, rounds, viewWidth, viewHeight, static_cast<long long>(kLinkBitsPerSecond / 1000000),
      static_cast<long long>(kLinkDelay.count()));
  std::printf("load average before: %s\n", qPrintable(LoadAverage()));
  std::fflush(stdout);
  // The contenders take turns, so a change in the machine's load falls on all alike.
  for (int round = 1; round <= rounds; ++round) {
    for (Setting& setting : settings) {
      for (std::size_t i = 0; i < contenders.size(); ++i) {
        const Contender& c = contenders[i];
        const QStringList arguments =
            c.program == self ? ours(setting.link) : common(setting.link) + c.extra;
        auto m = Measure(c.program, arguments, env, seconds, shown, setting.link);
        PrintMeasurement(setting.name, round, c.name, m);
        if (m)
          setting.results[i].rounds.push_back(std::move(*m));
        else
          ++setting.results[i].failed;
      }
    }
  }
  std::printf("load average after: %s\n", qPrintable(LoadAverage()));
  // What receiving and decoding alone cost: the same session with our view never shown. The
  // rest of our cost is showing the frames.
  const auto oursHidden = Measure(self, ours(loopback) + QStringList{QStringLiteral("hidden")}, env,
                                  seconds, shown, loopback);
  moving->kill();
  moving->waitForFinished(5000);
  (void)server.PaintRoot(QStringLiteral("#406080"));
  Sleep(1000);
  const auto oursStill = Measure(self, ours(loopback), env, seconds, shown, loopback);

  std::printf("\nmedians of %d rounds (latency percentiles over all frames of all rounds):\n",
              rounds);
  for (const Setting& setting : settings)
    for (std::size_t i = 0; i < contenders.size(); ++i) {
      const Rounds& r = setting.results[i];
      std::printf(
          "  %-8s %-14s %6.0f shown  latency p50 %5.0f p90 %5.0f ms  %6.1f MB  %6.2f s CPU  "
          "%6.2f ms CPU/shown%s\n",
          setting.name, contenders[i].name, r.Shown(), r.Latency(0.5), r.Latency(0.9),
          r.MegaBytes(), r.Cpu(), r.CpuPerShown(),
          r.failed > 0 ? qPrintable(QStringLiteral("  (%1 rounds failed)").arg(r.failed)) : "");
    }

  // Loopback: against whichever xfreerdp mode costs less for each frame it shows.
  const std::vector<Rounds>& local = settings[0].results;
  std::size_t cheaper = 1;
  for (std::size_t i = 2; i < contenders.size(); ++i)
    if (local[i].Shown() > 0 && local[i].CpuPerShown() < local[cheaper].CpuPerShown()) cheaper = i;
  if (local[0].Shown() > 0 && local[cheaper].Shown() > 0) {
    std::printf("loopback, against the cheaper xfreerdp mode (%s):\n", contenders[cheaper].name);
    std::printf("  CPU a frame shown, ours/theirs: %.2f (goal at most 0.80)\n",
                local[0].CpuPerShown() / local[cheaper].CpuPerShown());
    std::printf("  frames shown, ours/theirs:      %.2f (goal at least 0.90)\n",
                local[0].Shown() / local[cheaper].Shown());
  }
  // The link: against the xfreerdp mode that shows the most frames.
  const std::vector<Rounds>& far = settings[1].results;
  std::size_t best = 1;
  for (std::size_t i = 2; i < contenders.size(); ++i)
    if (far[i].Shown() > far[best].Shown()) best = i;
  if (far[best].Shown() > 0) {
    std::printf("link, against the xfreerdp mode that shows the most (%s):\n",
                contenders[best].name);
    std::printf("  frames shown, ours/theirs:      %.2f (goal at least 1.00)\n",
                far[0].Shown() / far[best].Shown());
    if (far[best].Latency(0.5) > 0)
      std::printf("  latency p50, ours/theirs:       %.2f (goal at most 1.00)\n",
                  far[0].Latency(0.5) / far[best].Latency(0.5));
    std::printf("  latency p90, ours:              %.0f ms (goal under 250 ms)\n",
                far[0].Latency(0.9));
  }
  // Both cover the same time with the same server pace, so the difference is what showing costs.
  if (oursHidden && local[0].Cpu() > 0)
    std::printf("ours with the view never shown: %.2f s CPU (%.0f%% of ours shown)\n",
                oursHidden->cpuSeconds, 100.0 * oursHidden->cpuSeconds / local[0].Cpu());
  if (oursStill)
    std::printf("still desktop, ours: %.2f s CPU = %.2f%% of a core (goal under 1%%)\n",
                oursStill->cpuSeconds, 100.0 * oursStill->cpuSeconds / seconds);
  else
    std::printf("still desktop, ours: failed\n");
  shownOwner.reset();  // before its display goes
  clientDisplay.terminate();
  clientDisplay.waitForFinished(5000);
  return 0;
}
