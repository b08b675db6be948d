// The view on a real X server, where the server takes the desktop straight from the frame's
// memory: what the window shows must be the frame, pixel for pixel, after every change and after
// the desktop changed size (new memory, which the server must map before it shows any of it).
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QThread>
#include <QWindow>
#include <cstdlib>
#include <memory>

#include "framesinkfixture.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpfullscreen.h"

struct TMsRdpClientFrameProbe {
  static void Show(TMsRdpClient& client, const TRdpFrame& frame) { client.SetFrame(frame); }
  static void Changed(TMsRdpClient& client, const QRegion& region) { client.Invalidate(region); }
  static TRdpFullScreen* FullScreen(TMsRdpClient& client) {
    client.ShowFullScreenWindow();
    return client.fullScreen_;
  }
};

namespace {

bool OnX11() {
  return QGuiApplication::platformName() == QLatin1String("xcb");
}

// A picture in which every pixel tells where it is, different for every seed: a picture shown
// from the wrong memory, at the wrong place or with the wrong row length does not match it.
std::uint32_t Pattern(int x, int y, int seed) {
  return static_cast<std::uint32_t>(((x * 3 + seed * 40) & 0xff) << 16 |
                                    ((y * 5 + seed * 90) & 0xff) << 8 | ((x + y + seed) & 0xff));
}

// The session draws the pattern into the whole frame, as FreeRDP does, and tells the view.
void ServerDraws(Connection& connection, TMsRdpClient& client, int seed) {
  rdpContext* context = connection.instance->context;
  rdpGdi* gdi = context->gdi;
  ASSERT_TRUE(connection.instance->update->BeginPaint(context));
  for (INT32 y = 0; y < gdi->height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(gdi->primary_buffer +
                                                 static_cast<size_t>(y) * gdi->stride);
    for (INT32 x = 0; x < gdi->width; ++x) row[x] = Pattern(x, y, seed);
  }
  gdi_InvalidateRegion(gdi->primary->hdc, 0, 0, gdi->width, gdi->height);
  ASSERT_TRUE(connection.instance->update->EndPaint(context));
  TMsRdpClientFrameProbe::Changed(
      client, QRect(0, 0, static_cast<int>(gdi->width), static_cast<int>(gdi->height)));
}

// The window's pixels as the X server has them, read on a connection of the test's own.
class ScreenReader {
 public:
  ScreenReader() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~ScreenReader() { xcb_disconnect(connection_); }
  ScreenReader(const ScreenReader&) = delete;
  ScreenReader& operator=(const ScreenReader&) = delete;

  // How many pixels of area (window coordinates) differ from the expected ones (24 bits
  // compared); -1 when the server gave nothing.
  template <typename Expected>
  int Mismatches(WId window, const QRect& area, Expected expected) {
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
        xcb_get_image_reply(
            connection_,
            xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          static_cast<xcb_drawable_t>(window), static_cast<std::int16_t>(area.x()),
                          static_cast<std::int16_t>(area.y()),
                          static_cast<std::uint16_t>(area.width()),
                          static_cast<std::uint16_t>(area.height()), ~0u),
            nullptr),
        &std::free);
    if (!image || xcb_get_image_data_length(image.get()) < area.width() * area.height() * 4)
      return -1;
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get()));
    int wrong = 0;
    for (int y = 0; y < area.height(); ++y) {
      for (int x = 0; x < area.width(); ++x) {
        if ((pixels[y * area.width() + x] & 0xffffffu) != (expected(x, y) & 0xffffffu)) ++wrong;
      }
    }
    return wrong;
  }

 private:
  xcb_connection_t* connection_;
};

// Runs the event loop until the window shows what check wants (bounded); the last count.
template <typename Check>
int WaitForScreen(Check check) {
  QElapsedTimer clock;
  clock.start();
  int wrong = -1;
  while (clock.elapsed() < 5000) {
    QCoreApplication::processEvents();
    wrong = check();
    if (wrong == 0) break;
    QThread::msleep(20);
  }
  return wrong;
}

TEST_F(FrameSinkTest, TheXServerShowsTheFrameStraightFromItsMemory) {
  if (!OnX11()) GTEST_SKIP() << "needs an X server: the rdpframe_x11 test runs it on one";
  connection_.SetDesktopSize(320, 240);
  ASSERT_TRUE(sink_.Attach(instance_));
  ASSERT_GE(recorder_.Last().fd, 0) << "the frame is not in a memory file";

  TMsRdpClient client;
  client.resize(400, 300);
  client.show();
  ScreenReader screen;
  const WId window = client.winId();
  QElapsedTimer clock;
  clock.start();
  while (!client.windowHandle()->isExposed() && clock.elapsed() < 5000)
    QCoreApplication::processEvents();

  // Each step: the desktop size, the pattern the server draws.
  const struct Step {
    QSize desktop;
    int seed;
  } steps[] = {
      {{320, 240}, 1},                   // the first frame
      {{320, 240}, 2},                   // drawn again: the same memory, new pixels
      {{300, 200}, 3},                   // a new size: new memory, another row length
      {{300, 200}, 4}, {{800, 600}, 5},  // larger than the view: scaled down by Qt's painting
      {{320, 240}, 6},                   // and back
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message()
                 << step.desktop.width() << "x" << step.desktop.height() << " seed " << step.seed);
    if (recorder_.Last().Size() != step.desktop) {
      const TRdpFrame before = recorder_.Last();
      ASSERT_TRUE(connection_.ServerResizes(static_cast<UINT32>(step.desktop.width()),
                                            static_cast<UINT32>(step.desktop.height())));
      ASSERT_NE(recorder_.Last().pixels, before.pixels);
    }
    TMsRdpClientFrameProbe::Show(client, recorder_.Last());
    ServerDraws(connection_, client, step.seed);
    const bool scaled = step.desktop.width() > client.viewport()->width();
    EXPECT_EQ(client.ShowsDirectly(), !scaled);
    if (scaled) continue;

    const QPoint viewport = client.viewport()->mapTo(&client, QPoint());
    const QRect desktop = client.DesktopRect().translated(viewport);
    ASSERT_EQ(desktop.size(), step.desktop);
    EXPECT_EQ(WaitForScreen([&] {
                return screen.Mismatches(window, desktop,
                                         [&](int x, int y) { return Pattern(x, y, step.seed); });
              }),
              0);
    // Around the desktop, the view's dark background.
    const QRect left(viewport.x(), desktop.y(), desktop.x() - viewport.x(), desktop.height());
    ASSERT_FALSE(left.isEmpty());
    EXPECT_EQ(screen.Mismatches(window, left, [](int, int) { return 0x202020u; }), 0);
  }

  // Full screen shows the desktop the same way, and the bar the pointer brings at the top edge
  // stays above it (a child window of the X server's would hide what Qt draws under it).
  TRdpFullScreen* full = TMsRdpClientFrameProbe::FullScreen(client);
  ASSERT_NE(full, nullptr);
  clock.restart();
  while ((full->windowHandle() == nullptr || !full->windowHandle()->isExposed()) &&
         clock.elapsed() < 5000)
    QCoreApplication::processEvents();
  const QRect fullDesktop = full->Target().toRect();
  EXPECT_EQ(WaitForScreen([&] {
              return screen.Mismatches(full->winId(), fullDesktop, [&](int x, int y) {
                return Pattern(x, y, std::end(steps)[-1].seed);
              });
            }),
            0);
  QMouseEvent move(QEvent::MouseMove, QPointF(full->width() / 2.0, 0), full->mapToGlobal(QPointF()),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(full, &move);
  auto* bar = full->findChild<QWidget*>(QStringLiteral("FullScreenBar"));
  ASSERT_NE(bar, nullptr);
  ASSERT_TRUE(bar->isVisible());
  const auto* direct = full->findChild<QWidget*>(QStringLiteral("RdpDirectSurface"));
  ASSERT_NE(direct, nullptr);
  EXPECT_TRUE(direct->isVisible());
  ASSERT_FALSE(bar->geometry().intersects(fullDesktop));
  // The bar's face, not the black around the desktop (its text may have a few black pixels).
  const int barArea = bar->width() * bar->height();
  EXPECT_EQ(WaitForScreen([&] {
              const int black = barArea - screen.Mismatches(full->winId(), bar->geometry(),
                                                            [](int, int) { return 0u; });
              return black * 10 < barArea ? 0 : black;
            }),
            0);
}

}  // namespace
