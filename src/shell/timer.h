#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

// Process-wide time scale for every timer of the product. 1.0 in the program; tests shrink it so
// that a 10 s watch runs in milliseconds.
[[nodiscard]] double TimeScale();
void SetTimeScale(double scale);
// An interval in milliseconds as the timers run it under the current scale (at least 1 ms).
[[nodiscard]] int ScaledInterval(int milliseconds);

// A message-loop timer: enabled by default, 1000 ms by default, ticks run OnTimer through the
// default error box. Changing the interval or enabling restarts the count.
class TTimer : public QObject {
  Q_OBJECT

 public:
  explicit TTimer(QObject* owner, int interval = 1000, bool enabled = true);

  [[nodiscard]] int Interval() const { return interval_; }
  void SetInterval(int milliseconds);
  [[nodiscard]] bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  std::function<void()> OnTimer;

 private:
  void Restart();
  void Tick();

  QTimer timer_;
  int interval_;
  bool enabled_;
};

// Runs handler once after the scaled delay, in context's thread, through the default error box.
void ScheduleOnce(int milliseconds, QObject* context, std::function<void()> handler);
