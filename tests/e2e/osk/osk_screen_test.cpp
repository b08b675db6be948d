#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include "platform/systemkeyboard.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/touchkeyboard.h"
#include "testapp.h"

namespace {

// The colour a vertical gradient from top to bottom has at y.
QColor Between(const QColor& top, const QColor& bottom, int y, int y0, int y1) {
  const double f = double(y - y0) / double(y1 - y0);
  return QColor::fromRgbF(top.redF() + (bottom.redF() - top.redF()) * f,
                          top.greenF() + (bottom.greenF() - top.greenF()) * f,
                          top.blueF() + (bottom.blueF() - top.blueF()) * f);
}

::testing::AssertionResult Near(const QColor& seen, const QColor& want, int tolerance = 8) {
  const int d = std::max({std::abs(seen.red() - want.red()), std::abs(seen.green() - want.green()),
                          std::abs(seen.blue() - want.blue())});
  if (d <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "seen " << seen.name().toStdString() << ", want " << want.name().toStdString();
}

TEST(OskScreen, KeyColoursOnTheScreen) {
  const QString shotPath = qEnvironmentVariable("ZENTRA_OSK_SCREENSHOT");
  if (shotPath.isEmpty() || QGuiApplication::platformName() != u"xcb")
    GTEST_SKIP() << "needs the X server that osk_screenshot.sh starts";
  LoadBuiltInKeyboardLayouts();
  SetSystemKeyboard(TSystemKeyboard::FromLayoutNames(QStringLiteral("br")));

  TTouchKeyboard keyboard;
  keyboard.setObjectName(QStringLiteral("TouchKeyboard1"));
  keyboard.SetLayout(QStringLiteral("Standard"));
  keyboard.SetDrawingStyle(TDrawingStyle::dsGradient);
  keyboard.SetGradientStart(QColor(128, 128, 128));
  keyboard.SetGradientEnd(QColor(192, 192, 192));
  keyboard.setGeometry(0, 0, 784, 180);
  keyboard.show();
  ASSERT_TRUE(testing_support::WaitFor(
      [&] { return keyboard.isVisible() && keyboard.width() == 784; }, 5000));

  const TCustomKeyboardButton* a = nullptr;
  const TCustomKeyboardButton* s = nullptr;
  for (const auto& b : keyboard.Buttons()) {
    if (b->Key.ScanCode == 30) a = b.get();
    if (b->Key.ScanCode == 31) s = b.get();
  }
  ASSERT_TRUE(a != nullptr && s != nullptr);
  keyboard.PointerDown(0, QPoint(a->Left + a->Width / 2, a->Top + a->Height / 2));

  QImage shot;
  // Bounded wait for the X server to show the pressed key.
  testing_support::WaitFor(
      [&] {
        shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        const QPoint at =
            keyboard.mapToGlobal(QPoint(a->Left + a->Width / 2, a->Top + a->TopMargin + 3));
        return shot.valid(at) && shot.pixelColor(at).red() > 230;
      },
      10000);
  shot.save(shotPath);

  // Faces: the gradient a little below the borders, and the outer border at mid height.
  struct Sample {
    const TCustomKeyboardButton* key;
    QColor top, bottom, border;
  } samples[] = {{a, QColor(255, 251, 240), QColor(192, 192, 192), QColor(255, 251, 240)},
                 {s, QColor(128, 128, 128), QColor(0, 0, 0), QColor(0, 0, 0)}};
  for (const auto& sample : samples) {
    const int l = sample.key->Left + sample.key->Key.LeftMargin;
    const int t = sample.key->Top + sample.key->TopMargin;
    const int b = sample.key->Top + sample.key->Height - sample.key->BottomMargin;
    const int x = sample.key->Left + sample.key->Width / 2;
    for (int y : {t + 3, (t + b) / 2, b - 4}) {
      const QColor seen = shot.pixelColor(keyboard.mapToGlobal(QPoint(x, y)));
      EXPECT_TRUE(Near(seen, Between(sample.top, sample.bottom, y, t, b))) << "y " << y;
    }
    EXPECT_TRUE(Near(shot.pixelColor(keyboard.mapToGlobal(QPoint(l, (t + b) / 2))), sample.border));
    // The label: some pixels in the label colour inside the face.
    const QColor label = sample.key == a ? QColor(0, 0, 0) : QColor(255, 255, 255);
    int labelPixels = 0;
    for (int yy = t + 5; yy < b - 2; ++yy)
      for (int xx = l + 5; xx < l + 20; ++xx)
        if (Near(shot.pixelColor(keyboard.mapToGlobal(QPoint(xx, yy))), label, 40)) ++labelPixels;
    EXPECT_GT(labelPixels, 5);
  }
  // The background between two keys: gray at the top to silver at the bottom.
  const int gapX = s->Left;  // the left margin of S leaves the background showing
  const int y = s->Top + s->Height / 2;
  EXPECT_TRUE(Near(shot.pixelColor(keyboard.mapToGlobal(QPoint(gapX, y))),
                   Between(QColor(128, 128, 128), QColor(192, 192, 192), y, 0, 180)));
  keyboard.PointerUp(0, QPoint(a->Left + a->Width / 2, a->Top + a->Height / 2));
  SetSystemKeyboard(nullptr);
}

}  // namespace
