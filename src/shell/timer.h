#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

// Every timer here runs on the process-wide time scale.
#include "core/timescale.h"

// A message-loop timer on the time scale: enabled by default, 1000 ms by default, ticks run OnTimer
// through the default error box. Changing the interval or enabling restarts the count.
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
