#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <ostream>

#include "principal/alert/gradient.h"

void PrintTo(const TGradientBand& band, std::ostream* os) {
  *os << "{" << band.top << ", " << band.rows << ", " << band.color.name().toStdString() << "}";
}

namespace {

struct BandCase {
  const char* name;
  int rows;
  int requested;
  QColor start;
  QColor end;
  std::vector<TGradientBand> expected;
};

const QColor kBodyTop(206, 231, 255);
const QColor kBodyBottom(123, 166, 231);
const QColor kCaptionTop(82, 134, 214);
const QColor kCaptionBottom(16, 65, 148);

TEST(GradientBands, FollowTheBandRule) {
  const QColor black(0, 0, 0), grey(120, 120, 120), light(240, 240, 240);
  const std::vector<BandCase> cases = {
      {"three bands over ten rows leave one end-colour row",
       10,
       3,
       black,
       light,
       {{0, 3, black}, {3, 3, grey}, {6, 3, light}, {9, 1, light}}},
      {"more bands than rows: one band per row",
       3,
       20,
       black,
       light,
       {{0, 1, black}, {1, 1, grey}, {2, 1, light}}},
      {"one row still splits into two bands, both empty", 1, 10, black, light, {{0, 1, light}}},
      {"fewer than two bands: start colour", 7, 1, black, light, {{0, 7, black}}},
      {"equal colours: start colour", 7, 5, grey, grey, {{0, 7, grey}}},
      {"caption strip: 8 rows, 8 bands, rounded to nearest",
       8,
       8,
       kCaptionTop,
       kCaptionBottom,
       {{0, 1, kCaptionTop},
        {1, 1, QColor(73, 124, 205)},
        {2, 1, QColor(63, 114, 195)},
        {3, 1, QColor(54, 104, 186)},
        {4, 1, QColor(44, 95, 176)},
        {5, 1, QColor(35, 85, 167)},
        {6, 1, QColor(25, 75, 157)},
        {7, 1, kCaptionBottom}}},
  };
  for (const BandCase& c : cases) {
    EXPECT_EQ(GradientBands(c.rows, c.requested, c.start, c.end), c.expected) << c.name;
  }
}

TEST(GradientBands, BodyOfTheStandardPopUpHasOneBandPerRow) {
  // 76-pixel pop-up: rows 9 to 74.
  const auto bands = GradientBands(66, 66, kBodyTop, kBodyBottom);
  ASSERT_EQ(bands.size(), 66u);
  EXPECT_EQ(bands.front(), (TGradientBand{0, 1, kBodyTop}));
  // 206 - 83 * 33 / 65 = 163.86; 231 - 65 * 33 / 65 = 198; 255 - 24 * 33 / 65 = 242.8
  EXPECT_EQ(bands[33], (TGradientBand{33, 1, QColor(164, 198, 243)}));
  EXPECT_EQ(bands.back(), (TGradientBand{65, 1, kBodyBottom}));
}

TEST(GradientBands, TallRectangleWithFewBandsEndsInEndColour) {
  // 300 rows in 32 bands of 9 rows; the last 12 rows take the end colour.
  const auto bands = GradientBands(300, 32, kBodyTop, kBodyBottom);
  ASSERT_EQ(bands.size(), 33u);
  EXPECT_EQ(bands[1], (TGradientBand{9, 9, QColor(203, 229, 254)}));
  EXPECT_EQ(bands[31].top, 279);
  EXPECT_EQ(bands[31].color, kBodyBottom);
  EXPECT_EQ(bands[32], (TGradientBand{288, 12, kBodyBottom}));
}

TEST(GradientBands, FillPaintsEveryRowOfTheRectangleOnly) {
  QImage image(4, 12, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    FillVerticalGradient(painter, QRect(1, 1, 2, 10), 3, QColor(0, 0, 0), QColor(240, 240, 240));
  }
  EXPECT_EQ(image.pixelColor(1, 0), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(0, 5), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(1, 1), QColor(0, 0, 0));
  EXPECT_EQ(image.pixelColor(2, 4), QColor(120, 120, 120));
  EXPECT_EQ(image.pixelColor(2, 10), QColor(240, 240, 240));
  EXPECT_EQ(image.pixelColor(1, 11), QColor(Qt::white));
}

}  // namespace
