// Download throughput: our transfer against curl, side by side in one run, from nginx on
// loopback. Reports only; it never fails a test run and ctest does not know it.
//
// Run it (an optimised build gives the numbers that matter):
//   cmake --preset release && cmake --build build-release --target bench_http
//   build-release/bench/http/bench_http [MiB]        (default 256)
// The downloaded file is written under /dev/shm (or $BENCH_HTTP_OUT, e.g. a disk folder).
//
// It writes a file of that size into a temporary folder, serves it with /usr/sbin/nginx on a
// free loopback port, and downloads it five times each way, alternating,, keeping the best time:
//   ours into a file, with progress handlers attached   vs  curl -o FILE
//   ours into a sink that discards                      vs  curl -o /dev/null
// then prints both throughputs, their ratio (target: ours >= 0.95 of curl's), and the peak
// memory of our downloads above the process's memory before them (target: flat, < 16 MiB).
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>

#include "nginxserver.h"
#include "service/http/httptransfer.h"

namespace {

constexpr int kRounds = 5;
constexpr int kCurlTimeoutMs = 600000;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
qint64 StatusKiB(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith(prefix))
      return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
  }
  return -1;
}

// Lets the peak resident size start again from the current one.
void ResetPeak() {
  QFile clear(QStringLiteral("/proc/self/clear_refs"));
  if (clear.open(QIODevice::WriteOnly)) clear.write("5");
}

// curl's own transfer time, which leaves out its start-up.
double Curl(const QString& url, const QString& output) {
  QProcess curl;
  curl.start(QStringLiteral("curl"),
             {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-o"), output,
              QStringLiteral("-w"), QStringLiteral("%{time_total}"), url});
  if (!curl.waitForFinished(kCurlTimeoutMs) || curl.exitCode() != 0) {
    std::fprintf(stderr, "curl failed\n");
    std::exit(1);
  }
  return curl.readAllStandardOutput().toDouble();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const qint64 mib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
  const qint64 size = mib * 1024 * 1024;
  if (!TNginxServer::Available()) {
    std::fprintf(stderr, "nginx is not installed (/usr/sbin/nginx)\n");
    return 1;
  }
  TNginxServer nginx;
  {
    QFile served(nginx.Root() + QStringLiteral("/big.bin"));
    if (!served.open(QIODevice::WriteOnly)) return 1;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    for (qint64 i = 0; i < mib; ++i) served.write(block);
  }
  if (!nginx.Start()) {
    std::fprintf(stderr, "nginx did not start:\n%s\n", qPrintable(nginx.Log()));
    return 1;
  }
  const QString url = nginx.Url(QStringLiteral("/big.bin"));
  // The downloaded file goes to memory-backed /dev/shm when there is one: the comparison is about
  // the transfer, and a virtual disk's hiccups would drown it. BENCH_HTTP_OUT picks another folder.
  const QString outBase =
      qEnvironmentVariableIsSet("BENCH_HTTP_OUT")
          ? qEnvironmentVariable("BENCH_HTTP_OUT")
          : (QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                                : QDir::tempPath());
  QTemporaryDir out(outBase + QStringLiteral("/bench_http-XXXXXX"));
  const QString target = out.filePath(QStringLiteral("download.bin"));
  Curl(url, QStringLiteral("/dev/null"));  // the file is in the page cache from here on

  const qint64 startKiB = StatusKiB("VmRSS");
  ResetPeak();
  qint64 progressCalls = 0, lastCount = 0;
  const auto ours = [&](bool intoFile) {
    THttpTransfer http;
    http.Accept = QString::fromLatin1(kAcceptProgram);
    http.OnWorkBegin = [&](THttpTransfer*, TWorkMode, qint64) { progressCalls = 0; };
    http.OnWork = [&](THttpTransfer*, TWorkMode, qint64 count) {
      ++progressCalls;
      lastCount = count;
    };
    http.OnWorkEnd = [](THttpTransfer*, TWorkMode) {};
    QElapsedTimer clock;
    clock.start();
    if (intoFile) {
      QFile file(target);
      file.open(QIODevice::WriteOnly | QIODevice::Truncate);
      http.Get(url, file);
    } else {
      TDiscardSink sink;
      http.Get(url, sink);
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (lastCount != size) {
      std::fprintf(stderr, "short download: %lld of %lld\n", static_cast<long long>(lastCount),
                   static_cast<long long>(size));
      std::exit(1);
    }
    return seconds;
  };

  // Rounds alternate between the contenders, so that a slow spell of the machine hits both.
  double oursFile = 1e30, curlFile = 1e30, oursDiscard = 1e30, curlDiscard = 1e30;
  qint64 peakKiB = 0;
  for (int round = 0; round < kRounds; ++round) {
    oursFile = std::min(oursFile, ours(true));
    oursDiscard = std::min(oursDiscard, ours(false));
    peakKiB = std::max(peakKiB, StatusKiB("VmHWM"));
    curlFile = std::min(curlFile, Curl(url, target));
    curlDiscard = std::min(curlDiscard, Curl(url, QStringLiteral("/dev/null")));
  }

  const auto mibps = [&](double seconds) { return mib / seconds; };
  std::printf("HTTP download of %lld MiB from nginx on loopback into %s, best of %d\n",
              static_cast<long long>(mib), qPrintable(out.path()), kRounds);
  std::printf("  %-22s %10s %10s %8s\n", "", "ours MiB/s", "curl MiB/s", "ratio");
  std::printf("  %-22s %10.1f %10.1f %8.3f\n", "into a file", mibps(oursFile), mibps(curlFile),
              curlFile / oursFile);
  std::printf("  %-22s %10.1f %10.1f %8.3f\n", "into a discarding sink", mibps(oursDiscard),
              mibps(curlDiscard), curlDiscard / oursDiscard);
  std::printf("  progress notifications per download: %lld\n",
              static_cast<long long>(progressCalls));
  std::printf("  peak memory of ours above start: %.1f MiB (target < 16)\n",
              (peakKiB - startKiB) / 1024.0);
  std::printf("  target: ratio >= 0.95 -> %s\n",
              curlFile / oursFile >= 0.95 && curlDiscard / oursDiscard >= 0.95 ? "met" : "not met");
  return 0;
}
