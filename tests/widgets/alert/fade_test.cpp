// The fade of the pop-up, driven by its own (time-scaled) timers: the opacity after each tick and
// the state table of Execute, Close, the pointer and the close cross.
#include <QTest>

#include "alertfixture.h"
#include "principal/alert/alertglyphbutton.h"
#include "principal/alert/alertlabel.h"

namespace {

using Fade = AlertFixture;

TEST_F(Fade, FadesInOverTenTicksAndStays) {
  ASSERT_TRUE(alert_->Execute());
  EXPECT_EQ(alert_->StyleHandler()->AnimationTimer().Interval(), 25);
  ASSERT_TRUE(WaitShown());
  // The opacity is 0 when the window appears, then each tick raises it.
  EXPECT_EQ(FromShow(), Concat({{0, kShown}, FadeInTicks()}));

  // Display duration 0: nothing starts the fade-out by itself, not even the pointer poll.
  const std::size_t mark = log_.size();
  Pump(100);
  EXPECT_TRUE(alert_->Showing());
  EXPECT_EQ(form_->AlphaBlendValue(), 200);
  EXPECT_EQ(alert_->StyleHandler()->Status(), hsStartAnim);
  EXPECT_FALSE(alert_->StyleHandler()->Active());
  EXPECT_TRUE(form_->MouseTimer->Enabled());
  EXPECT_EQ(form_->MouseTimer->Interval(), 200);
  EXPECT_EQ(LogAfter(mark), std::vector<int>{});
}

TEST_F(Fade, CloseFadesOutAndHidesOnTheTenthTick) {
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  const std::size_t mark = log_.size();
  alert_->Close(false);
  EXPECT_EQ(alert_->StyleHandler()->Status(), hsEndAnim);
  EXPECT_EQ(alert_->StyleHandler()->AnimationTimer().Interval(), 50);
  ASSERT_TRUE(WaitHidden());
  Pump(20);
  EXPECT_EQ(LogAfter(mark), Concat({{200}, FadeOutTicks(), {kHidden}}));
  EXPECT_FALSE(alert_->StyleHandler()->Active());
  EXPECT_FALSE(form_->MouseTimer->Enabled());
}

TEST_F(Fade, ExecuteWhileShownOrFadingOutReplacesThePopUpAndFadesInFromZero) {
  for (const bool duringFadeOut : {false, true}) {
    SCOPED_TRACE(duringFadeOut ? "during the fade-out" : "while fully shown");
    alert_->Execute();
    ASSERT_TRUE(WaitShown());
    const QPoint place = form_->pos();
    std::size_t mark = log_.size();
    auto replace = [this, &mark] {
      mark = log_.size();
      alert_->SetMessageText(QStringLiteral("Desconectado"));
      alert_->SetImage(AlertImages().at(kAlertImageDisconnected));
      alert_->Execute();
    };
    if (duringFadeOut) {
      When(hsEndAnim, 120, replace);
      alert_->Close(false);
      ASSERT_TRUE(testing_support::WaitFor([&] { return mark != 0 && log_.size() > mark; }));
    } else {
      replace();
    }
    ASSERT_TRUE(WaitShown());
    const std::vector<int> after = LogAfter(mark);
    // Hidden at once, then shown anew at opacity 0 and faded in from there.
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), kHidden);
    const auto shown = std::find(after.begin(), after.end(), kShown);
    ASSERT_NE(shown, after.end());
    EXPECT_EQ(*(shown - 1), 0);
    EXPECT_EQ(std::vector<int>(shown + 1, after.end()), FadeInTicks());
    EXPECT_EQ(std::count(after.begin(), after.end(), kShown), 1);
    EXPECT_EQ(form_->pos(), place);
    EXPECT_EQ(form_->lblText->Text(), QStringLiteral("Desconectado"));
    EXPECT_EQ(form_->imIcon->pixmap().toImage(),
              AlertImages().at(kAlertImageDisconnected).toImage());
    alert_->Close(true);
    alert_->SetMessageText(QStringLiteral("Conectando"));
  }
}

TEST_F(Fade, CloseDuringTheFadeInJumpsToTheTopAndFadesOut) {
  std::size_t mark = 0;
  When(hsStartAnim, 60, [&] {
    mark = log_.size();
    alert_->Close(false);
  });
  alert_->Execute();
  ASSERT_TRUE(WaitHidden());
  Pump(20);
  EXPECT_EQ(LogAfter(mark), Concat({{200}, FadeOutTicks(), {kHidden}}));
}

TEST_F(Fade, CloseTwiceDuringTheFadeOutRestartsItFromTheTop) {
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  std::size_t mark = 0;
  When(hsEndAnim, 140, [&] {
    mark = log_.size();
    alert_->Close(false);
  });
  alert_->Close(false);
  ASSERT_TRUE(WaitHidden());
  EXPECT_EQ(LogAfter(mark), Concat({{200}, FadeOutTicks(), {kHidden}}));
}

TEST_F(Fade, CloseWhileHiddenDoesNothing) {
  alert_->Close(false);
  alert_->Close(true);
  Pump(20);
  EXPECT_FALSE(alert_->Showing());
  EXPECT_FALSE(alert_->StyleHandler()->Active());
  EXPECT_EQ(alert_->StyleHandler()->Status(), hsIdle);
  EXPECT_EQ(log_, std::vector<int>{});
}

TEST_F(Fade, PointerDuringTheFadeOutHoldsThePopUpAfterItLeaves) {
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  std::size_t mark = 0;
  When(hsEndAnim, 140, [&] {
    mark = log_.size();
    QCursor::setPos(form_->geometry().center());
    QCoreApplication::processEvents();
  });
  alert_->Close(false);
  ASSERT_TRUE(testing_support::WaitFor([&] { return form_->MouseInside(); }));
  EXPECT_EQ(LogAfter(mark), std::vector<int>{200});

  QCursor::setPos(0, 0);
  ASSERT_TRUE(testing_support::WaitFor([&] { return !form_->MouseInside(); }));
  Pump(100);  // many pointer polls and fade ticks
  EXPECT_TRUE(alert_->Showing());
  EXPECT_EQ(form_->AlphaBlendValue(), 200);
  EXPECT_EQ(alert_->StyleHandler()->Status(), hsEndAnim);
  EXPECT_FALSE(alert_->StyleHandler()->Active());
  EXPECT_EQ(LogAfter(mark), std::vector<int>{200});
}

TEST_F(Fade, PointerDuringTheFadeInDoesNotStopIt) {
  std::size_t mark = 0;
  When(hsStartAnim, 60, [&] {
    mark = log_.size();
    QCursor::setPos(form_->geometry().center());
    QCoreApplication::processEvents();
  });
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  EXPECT_TRUE(form_->MouseInside());
  EXPECT_EQ(LogAfter(mark), (std::vector<int>{80, 100, 120, 140, 160, 180, 200}));
}

TEST_F(Fade, TheCrossHidesAtOnceWithoutFading) {
  for (const TStyleHandlerStatus during : {hsStartAnim, hsEndAnim}) {
    SCOPED_TRACE(during == hsStartAnim ? "during the fade-in" : "during the fade-out");
    std::size_t mark = 0;
    When(during, 100, [&] {
      mark = log_.size();
      QTest::mouseClick(form_->tbClose, Qt::LeftButton, {}, QPoint(7, 7));
    });
    alert_->Execute();
    if (during == hsEndAnim) {
      ASSERT_TRUE(WaitShown());
      alert_->Close(false);
    }
    ASSERT_TRUE(testing_support::WaitFor([&] { return mark != 0; }));
    EXPECT_FALSE(alert_->Showing());
    Pump(30);
    EXPECT_EQ(LogAfter(mark), std::vector<int>{kHidden});
    EXPECT_FALSE(alert_->StyleHandler()->Active());
    EXPECT_FALSE(form_->MouseTimer->Enabled());
  }
}

TEST_F(Fade, AnotherDisplayTimeFadesOutOnceThePointerIsAway) {
  // Not this system's setting, but the component's own rule: with a display time the pop-up goes
  // idle after it and the pointer poll starts the fade-out.
  alert_->StyleOptions.SetDisplayDuration(300);
  alert_->Execute();
  ASSERT_TRUE(WaitHidden());
  EXPECT_EQ(std::vector<int>(log_.end() - 11, log_.end()), Concat({FadeOutTicks(), {kHidden}}));
}

TEST_F(Fade, StepCountsOfZeroAreStoredAsOne) {
  TAlertStyleOptions& options = alert_->StyleOptions;
  options.SetStartSteps(0);
  options.SetEndSteps(0);
  EXPECT_EQ(options.StartSteps(), 1u);
  EXPECT_EQ(options.EndSteps(), 1u);
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  EXPECT_EQ(FromShow(), (std::vector<int>{0, kShown, 0, 200}));
  const std::size_t mark = log_.size();
  alert_->Close(false);
  ASSERT_TRUE(WaitHidden());
  EXPECT_EQ(LogAfter(mark), (std::vector<int>{200, 0, kHidden}));
}

}  // namespace
