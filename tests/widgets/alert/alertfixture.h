#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QObject>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "principal/alert/alertimages.h"
#include "principal/alert/desktopalert.h"
#include "principal/alert/fadealertstylehandler.h"
#include "shell/timer.h"
#include "testapp.h"

// Entries of the pop-up's log besides opacity values (0..255).
inline constexpr int kShown = -2;
inline constexpr int kHidden = -1;

// The session window's alert on an 800 x 800 desktop with a 40-pixel panel at the bottom, its
// timers shrunk fifty times, and a log of every opacity it is given and every show and hide.
class AlertFixture : public ::testing::Test, public QObject {
 protected:
  static constexpr double kTimeScale = 0.02;
  static inline const QRect kWorkArea{0, 0, 800, 760};

  void SetUp() override {
    SetTimeScale(kTimeScale);
    QCursor::setPos(0, 0);
    alert_ = std::make_unique<TDesktopAlert>(nullptr);
    LoadSessionAlertSettings(*alert_);
    alert_->SetWorkAreaSource([this] { return workArea_; });
    alert_->SetMessageText(QStringLiteral("Conectando"));
    alert_->SetImage(AlertImages().at(kAlertImageConnecting));
    form_ = alert_->AlertWindow();
    form_->installEventFilter(this);
    QObject::connect(form_, &TFormDesktopAlert::AlphaBlendValueChanged, form_, [this](int alpha) {
      log_.push_back(alpha);
      if (onAlpha_) {
        // One reaction per test step; it may start the next step itself.
        auto reaction = std::move(onAlpha_);
        onAlpha_ = nullptr;
        if (!reaction(alpha)) onAlpha_ = std::move(reaction);
      }
    });
  }

  void TearDown() override {
    alert_.reset();
    SetTimeScale(1.0);
    QCursor::setPos(0, 0);
    Pump(5);
  }

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show) log_.push_back(kShown);
    if (event->type() == QEvent::Hide) log_.push_back(kHidden);
    return false;
  }

  // Runs a reaction from inside the tick that sets the given opacity in the given animation, as
  // if the event it stands for arrived at that moment.
  void When(TStyleHandlerStatus status, int alpha, std::function<void()> reaction) {
    onAlpha_ = [this, status, alpha, reaction = std::move(reaction)](int value) {
      if (value != alpha || alert_->StyleHandler()->Status() != status) return false;
      reaction();
      return true;
    };
  }

  // Processes events for a while (unscaled milliseconds).
  static void Pump(int ms) {
    testing_support::WaitFor([] { return false; }, ms);
  }

  // Waits until the fade-in has reached its top.
  bool WaitShown() {
    return testing_support::WaitFor([this] {
      return alert_->Showing() && !alert_->StyleHandler()->Active() &&
             form_->AlphaBlendValue() == 200;
    });
  }
  bool WaitHidden() {
    return testing_support::WaitFor([this] { return !alert_->Showing(); });
  }
  bool WaitIdle() {
    return testing_support::WaitFor([this] { return !alert_->StyleHandler()->Active(); });
  }

  // The log from the first entry after the given position.
  std::vector<int> LogAfter(std::size_t position) const {
    return {log_.begin() + static_cast<long>(std::min(position, log_.size())), log_.end()};
  }

  // The log from the opacity the window was shown with (the entry before the last show) on.
  std::vector<int> FromShow() const {
    const auto shown = std::find(log_.rbegin(), log_.rend(), kShown);
    if (shown == log_.rend() || shown + 1 == log_.rend()) return log_;
    return {(shown + 1).base() - 1, log_.end()};
  }

  static std::vector<int> Concat(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }
  // The opacities of the fade-in ticks (0, 20, ..., 180, then 200) and of the fade-out ticks
  // (180, ..., 20, then 0 on the tenth).
  static std::vector<int> FadeInTicks() {
    return {0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200};
  }
  static std::vector<int> FadeOutTicks() { return {180, 160, 140, 120, 100, 80, 60, 40, 20, 0}; }

  std::unique_ptr<TDesktopAlert> alert_;
  TFormDesktopAlert* form_ = nullptr;
  std::optional<QRect> workArea_ = kWorkArea;
  std::vector<int> log_;
  std::function<bool(int)> onAlpha_;
};
