#pragma once

#include <QObject>
#include <cstdint>

#include "principal/alert/alertstyleoptions.h"

class TFormDesktopAlert;
class TTimer;

enum TStyleHandlerStatus { hsIdle, hsStartAnim, hsEndAnim, hsDisplay };

// Fades the pop-up in and out by stepping its whole-window opacity on one animation timer. It is
// "active" exactly while that timer runs.
class TFadeAlertStyleHandler : public QObject {
  Q_OBJECT

 public:
  explicit TFadeAlertStyleHandler(TFormDesktopAlert* alertWindow);

  // Takes the timing and opacity values of the next display.
  void SetOptions(const TAlertStyleOptions& options) { options_ = options; }
  [[nodiscard]] const TAlertStyleOptions& Options() const { return options_; }

  [[nodiscard]] TStyleHandlerStatus Status() const { return status_; }
  [[nodiscard]] bool Active() const;
  [[nodiscard]] const TTimer& AnimationTimer() const { return *animationTimer_; }

  // Shows the pop-up at the lowest opacity and raises it step by step.
  void DoStartAnimation();
  // Lowers the opacity step by step from the highest and closes the pop-up on the last step.
  void DoEndAnimation();
  // Stops a fade-out and shows the pop-up fully again; a running fade-in goes on.
  void AbortAnimation();
  // Stops the timer without touching the opacity or the status (the pop-up was closed).
  void StopAnimation();

 private:
  void DoDisplay();
  void AnimationTimerTimer();
  void StartTick();
  void EndTick();
  void SetAlpha(int alpha);

  TFormDesktopAlert* alertWindow_;
  TTimer* animationTimer_;
  TAlertStyleOptions options_;
  TStyleHandlerStatus status_ = hsIdle;
  uint32_t step_ = 0;
  // Bumped by every start, stop and abort, so that a tick notices when whoever watched the
  // opacity change restarted or stopped the animation under it.
  uint64_t generation_ = 0;
};
