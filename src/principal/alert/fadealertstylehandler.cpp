#include "principal/alert/fadealertstylehandler.h"

#include <algorithm>
#include <climits>

#include "principal/alert/formdesktopalert.h"
#include "shell/timer.h"

namespace {

int TimerInterval(uint32_t milliseconds) {
  return static_cast<int>(std::min<uint32_t>(milliseconds, INT_MAX));
}

}  // namespace

TFadeAlertStyleHandler::TFadeAlertStyleHandler(TFormDesktopAlert* alertWindow)
    : QObject(alertWindow),
      alertWindow_(alertWindow),
      animationTimer_(new TTimer(this, 1000, false)) {
  animationTimer_->setObjectName(QStringLiteral("AnimationTimer"));
  animationTimer_->OnTimer = [this] { AnimationTimerTimer(); };
}

bool TFadeAlertStyleHandler::Active() const {
  return animationTimer_->Enabled();
}

void TFadeAlertStyleHandler::SetAlpha(int alpha) {
  alertWindow_->SetAlphaBlendValue(static_cast<uint8_t>(std::clamp(alpha, 0, 255)));
}

void TFadeAlertStyleHandler::DoStartAnimation() {
  if (options_.StartSteps() == 0) return;
  ++generation_;
  animationTimer_->SetEnabled(false);
  animationTimer_->SetInterval(TimerInterval(options_.StartInterval()));
  step_ = 0;
  SetAlpha(options_.MinAlphaBlendValue());
  alertWindow_->ShowWithoutActivating();
  status_ = hsStartAnim;
  animationTimer_->SetEnabled(true);
}

void TFadeAlertStyleHandler::DoEndAnimation() {
  if (options_.EndSteps() == 0) return;
  ++generation_;
  animationTimer_->SetEnabled(false);
  animationTimer_->SetInterval(TimerInterval(options_.EndInterval()));
  step_ = 0;
  SetAlpha(options_.MaxAlphaBlendValue());
  status_ = hsEndAnim;
  animationTimer_->SetEnabled(true);
}

void TFadeAlertStyleHandler::AbortAnimation() {
  if (status_ == hsStartAnim || status_ == hsDisplay) return;
  ++generation_;
  animationTimer_->SetEnabled(false);
  SetAlpha(options_.MaxAlphaBlendValue());
}

void TFadeAlertStyleHandler::StopAnimation() {
  ++generation_;
  animationTimer_->SetEnabled(false);
}

void TFadeAlertStyleHandler::DoDisplay() {
  // Without a display duration the pop-up simply stays: the status remains that of the fade-in.
  if (options_.DisplayDuration() == 0) return;
  status_ = hsDisplay;
  animationTimer_->SetInterval(TimerInterval(options_.DisplayDuration()));
  animationTimer_->SetEnabled(true);
}

void TFadeAlertStyleHandler::AnimationTimerTimer() {
  switch (status_) {
    case hsStartAnim:
      StartTick();
      break;
    case hsEndAnim:
      EndTick();
      break;
    case hsDisplay:
      // The display time is over; the pointer poll starts the fade-out once the pointer is away.
      animationTimer_->SetEnabled(false);
      status_ = hsIdle;
      break;
    case hsIdle:
      animationTimer_->SetEnabled(false);
      break;
  }
}

void TFadeAlertStyleHandler::StartTick() {
  const uint64_t generation = generation_;
  const int min = options_.MinAlphaBlendValue();
  const int max = options_.MaxAlphaBlendValue();
  const long long step = step_++;
  const bool last = step_ >= options_.StartSteps();
  if (last) animationTimer_->SetEnabled(false);
  SetAlpha(static_cast<int>(min + (max - min) * step / options_.StartSteps()));
  if (!last || generation != generation_) return;
  SetAlpha(max);
  if (generation != generation_) return;
  DoDisplay();
}

void TFadeAlertStyleHandler::EndTick() {
  const uint64_t generation = generation_;
  const int min = options_.MinAlphaBlendValue();
  const int max = options_.MaxAlphaBlendValue();
  const long long step = ++step_;
  if (step_ >= options_.EndSteps()) {
    // The last step lands on the lowest opacity; the pop-up closes there.
    animationTimer_->SetEnabled(false);
    SetAlpha(min);
    if (generation == generation_) alertWindow_->CloseAlert();
    return;
  }
  SetAlpha(static_cast<int>(max - (max - min) * step / options_.EndSteps()));
}
