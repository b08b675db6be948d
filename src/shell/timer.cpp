#include "shell/timer.h"

#include "shell/events.h"

TTimer::TTimer(QObject* owner, int interval, bool enabled)
    : QObject(owner), interval_(interval), enabled_(enabled) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &TTimer::Tick);
  Restart();
}

void TTimer::SetInterval(int milliseconds) {
  interval_ = milliseconds;
  Restart();
}

void TTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Restart();
}

void TTimer::Restart() {
  timer_.stop();
  if (enabled_ && interval_ > 0) timer_.start(ScaledInterval(interval_));
}

void TTimer::Tick() {
  if (OnTimer) Dispatch(this, OnTimer);
}

void ScheduleOnce(int milliseconds, QObject* context, std::function<void()> handler) {
  QTimer::singleShot(ScaledInterval(milliseconds), context,
                     [context, handler = std::move(handler)] { Dispatch(context, handler); });
}
