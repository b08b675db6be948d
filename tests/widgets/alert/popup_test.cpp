// The pop-up window: placement, layout, painting, the close cross, focus and dragging.
#include <QApplication>
#include <QFontInfo>
#include <QLineEdit>
#include <QTest>

#include "alertfixture.h"
#include "principal/alert/alertglyphbutton.h"
#include "principal/alert/alertlabel.h"

namespace {

using PopUp = AlertFixture;

TEST_F(PopUp, SitsFlushInTheBottomRightCornerOfTheWorkArea) {
  struct Case {
    const char* panel;
    std::optional<QRect> workArea;
  };
  const QRect screen = PrimaryScreenRect();
  const Case cases[] = {
      {"bottom", QRect(0, 0, 800, 760)},
      {"right", QRect(0, 0, 740, 800)},
      {"left", QRect(60, 0, 740, 800)},
      {"top", QRect(0, 30, 800, 770)},
      {"no work area known: whole screen", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.panel);
    workArea_ = c.workArea;
    alert_->Execute();
    const QRect area = c.workArea.value_or(screen);
    EXPECT_EQ(form_->geometry().size(), QSize(329, 76));
    EXPECT_EQ(form_->geometry().bottomRight(), area.bottomRight());
    alert_->Close(true);
  }
}

TEST_F(PopUp, IsAFramelessTopMostToolWindowThatTakesNoFocus) {
  const Qt::WindowFlags flags = form_->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::Tool));
  EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
  EXPECT_TRUE(form_->testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(form_->parentWidget(), nullptr);
  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  EXPECT_NEAR(form_->windowOpacity(), 200 / 255.0, 1e-6);
}

TEST_F(PopUp, LaysOutIconHeaderAndOneMessageLine) {
  alert_->Execute();
  EXPECT_EQ(form_->imIcon->geometry(), QRect(8, 13, 50, 50));
  EXPECT_EQ(form_->lblHeader->pos(), QPoint(63, 13));
  const int headerHeight = QFontMetrics(alert_->HeaderFont).height();
  EXPECT_EQ(form_->lblHeader->height(), headerHeight);
  EXPECT_EQ(form_->lblText->geometry(), QRect(71, 13 + headerHeight, 225, 13));
  EXPECT_EQ(form_->tbClose->geometry(), QRect(312, 10, 15, 15));
  EXPECT_TRUE(form_->tbClose->isVisible());
  EXPECT_FALSE(form_->tbDropDown->isVisible());
  EXPECT_EQ(form_->lblText->font().pixelSize(), 13);
  EXPECT_EQ(form_->lblText->ShownText(), QStringLiteral("Conectando"));

  // A message too long for the line ends in an ellipsis on that one line.
  alert_->SetMessageText(QString(80, QChar(u'W')));
  const QString shown = form_->lblText->ShownText();
  EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
  EXPECT_LE(form_->lblText->fontMetrics().horizontalAdvance(shown), 225);
}

TEST_F(PopUp, PaintsCaptionStripGapBodyAndFrame) {
  alert_->Execute();
  const QImage image = form_->grab().toImage();
  ASSERT_EQ(image.size(), QSize(329, 76));
  const QColor frame(128, 128, 128);
  // Column 3 is clear of every child.
  EXPECT_EQ(image.pixelColor(3, 0), frame);
  EXPECT_EQ(image.pixelColor(3, 1), QColor(73, 124, 205));
  EXPECT_EQ(image.pixelColor(3, 7), QColor(16, 65, 148));
  EXPECT_EQ(image.pixelColor(3, 8), form_->palette().color(QPalette::Button));
  EXPECT_EQ(image.pixelColor(3, 9), QColor(206, 231, 255));
  EXPECT_EQ(image.pixelColor(3, 9 + 33), QColor(164, 198, 243));
  EXPECT_EQ(image.pixelColor(3, 74), QColor(123, 166, 231));
  EXPECT_EQ(image.pixelColor(3, 75), frame);
  EXPECT_EQ(image.pixelColor(0, 40), frame);
  EXPECT_EQ(image.pixelColor(328, 40), frame);
  // The labels are transparent: the gradient shows beside the message text.
  EXPECT_EQ(image.pixelColor(290, form_->lblText->y() + 2),
            image.pixelColor(3, form_->lblText->y() + 2));
}

TEST_F(PopUp, CloseCrossIsMarlettAndLightsUpUnderThePointer) {
  alert_->Execute();
  TAlertGlyphButton* cross = form_->tbClose;
  EXPECT_EQ(QFontInfo(cross->font()).family(), QStringLiteral("Marlett"));
  EXPECT_EQ(cross->Glyph(), QChar(u'r'));

  auto pixel = [cross](int x, int y) { return cross->grab().toImage().pixelColor(x, y); };
  const QColor background = pixel(1, 1);
  // The cross is drawn in the middle, in the window-text colour.
  const QImage plain = cross->grab().toImage();
  int dark = 0;
  for (int y = 0; y < 15; ++y)
    for (int x = 0; x < 15; ++x) dark += plain.pixelColor(x, y).lightness() < 60 ? 1 : 0;
  EXPECT_GT(dark, 4);

  QEnterEvent enter(QPointF(7, 7), QPointF(7, 7), cross->mapToGlobal(QPointF(7, 7)));
  QApplication::sendEvent(cross, &enter);
  EXPECT_TRUE(cross->Hot());
  EXPECT_EQ(pixel(0, 0), QColor(0, 51, 102));
  EXPECT_EQ(pixel(14, 14), QColor(0, 51, 102));
  EXPECT_EQ(pixel(1, 1), QColor(181, 190, 214));
  QTest::mousePress(cross, Qt::LeftButton, {}, QPoint(7, 7));
  EXPECT_EQ(pixel(1, 1), QColor(153, 153, 204));
  EXPECT_TRUE(alert_->Showing());
  QTest::mouseRelease(cross, Qt::LeftButton, {}, QPoint(7, 7));
  EXPECT_FALSE(alert_->Showing());

  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(cross, &leave);
  EXPECT_EQ(pixel(1, 1), background);
}

TEST_F(PopUp, FocusStaysInTheSessionWindowAndClicksDoNothing) {
  QWidget session;
  auto* edit = new QLineEdit(&session);
  session.show();
  session.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&session, 2000));
  edit->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), edit);

  alert_->Execute();
  ASSERT_TRUE(WaitShown());
  Pump(20);
  EXPECT_EQ(QApplication::activeWindow(), &session);
  EXPECT_EQ(QApplication::focusWidget(), edit);

  const std::size_t mark = log_.size();
  QTest::mouseClick(form_->lblText, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseClick(form_, Qt::LeftButton, {}, QPoint(200, 65));
  QTest::mouseClick(form_->imIcon, Qt::LeftButton, {}, QPoint(20, 20));
  Pump(20);
  EXPECT_TRUE(alert_->Showing());
  EXPECT_EQ(form_->AlphaBlendValue(), 200);
  EXPECT_EQ(LogAfter(mark), std::vector<int>{});
  EXPECT_EQ(QApplication::activeWindow(), &session);
  EXPECT_EQ(QApplication::focusWidget(), edit);
}

TEST_F(PopUp, CanBeDraggedOnlyWhenMovable) {
  struct Case {
    const char* name;
    TDesktopAlertOptions options;
    QPoint grip;
    bool moves;
  };
  const Case cases[] = {
      {"session setting, caption strip", daoCanClose, QPoint(150, 3), false},
      {"session setting, body", daoCanClose, QPoint(150, 60), false},
      {"movable, caption strip", daoCanClose | daoCanMove, QPoint(150, 3), true},
      {"movable anywhere, body", daoCanClose | daoCanMoveAnywhere, QPoint(150, 60), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    alert_->Options = c.options;
    alert_->Execute();
    const QPoint before = form_->pos();
    QTest::mousePress(form_, Qt::LeftButton, {}, c.grip);
    QTest::mouseMove(form_, c.grip - QPoint(60, 40));
    QTest::mouseRelease(form_, Qt::LeftButton, {}, c.grip - QPoint(60, 40));
    EXPECT_EQ(form_->pos() != before, c.moves);
    alert_->Close(true);
  }
}

TEST_F(PopUp, IsReusedAndOffersTheTwoStatusIcons) {
  const QList<QPixmap> images = AlertImages();
  ASSERT_EQ(images.size(), 2);
  for (const QPixmap& image : images) {
    EXPECT_EQ(image.size(), QSize(50, 50));
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(image.toImage().pixelColor(0, 0).alpha(), 0);
  }
  // The badge sits at the lower right: red there only on the disconnected icon.
  const QColor connected = images[0].toImage().pixelColor(39, 32);
  const QColor disconnected = images[1].toImage().pixelColor(39, 32);
  EXPECT_GT(disconnected.red(), 180);
  EXPECT_LT(disconnected.green(), 120);
  EXPECT_LT(connected.red(), 120);

  alert_->Execute();
  TFormDesktopAlert* first = form_;
  alert_->Close(true);
  alert_->Execute();
  EXPECT_EQ(alert_->AlertWindow(), first);
}

}  // namespace
