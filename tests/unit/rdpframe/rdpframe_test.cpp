// The frame FreeRDP draws into, driven through the callbacks FreeRDP itself calls: the desktop
// size a server may ask for, and a view that never shows a half-drawn frame.
#include "principal/rdp/session/rdpframesink.h"

#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>
#include <freerdp/settings.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "framesinkfixture.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/session/rdpcodecs.h"
#include "principal/rdp/session/rdpcontext.h"
#include "principal/rdp/session/rdpsession.h"
#include "principal/rdp/session/rdpsessionimpl.h"

struct TMsRdpClientFrameProbe {
  static void Show(TMsRdpClient& client, const TRdpFrame& frame) { client.SetFrame(frame); }
  // A pointer image from the server, as the session hands it on.
  static void Pointer(TMsRdpClient& client, const QImage& image, QPoint hotSpot) {
    client.SetRemotePointer({TMsRdpClient::RemotePointer::Kind::Image, image, hotSpot});
  }
};

namespace {

TEST(FrameSink, DesktopSizesFromTheServerAreBoundedBeforeAnyAllocation) {
  struct Case {
    UINT32 width, height;
    bool accepted;
  };
  const Case cases[] = {
      {1280, 1024, true}, {8192, 16, true},      {16, 8192, true}, {8193, 16, false},
      {16, 8193, false},  {65535, 65535, false}, {0, 768, false},  {0x80000000u, 768, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    Connection connection;
    ASSERT_TRUE(connection.made);
    connection.SetDesktopSize(1024, 768);
    ASSERT_TRUE(connection.sink.Attach(connection.instance));
    ASSERT_EQ(connection.recorder.Last().Size(), QSize(1024, 768));
    rdpContext* context = connection.instance->context;

    EXPECT_EQ(connection.ServerResizes(c.width, c.height), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(connection.sink.Refusal(), 0);
      EXPECT_EQ(connection.recorder.Last().Size(),
                QSize(static_cast<int>(c.width), static_cast<int>(c.height)));
      EXPECT_EQ(context->gdi->width, c.width);
      EXPECT_FALSE(freerdp_shall_disconnect(connection.instance));
    } else {
      // The session ends with a reason that says why, and the old image is all the view has.
      EXPECT_EQ(connection.sink.Refusal(), kDiscReasonDesktopTooLarge);
      EXPECT_TRUE(
          TRdpSession::ReasonText(connection.sink.Refusal()).contains(QStringLiteral("8192")));
      EXPECT_EQ(connection.recorder.frames.size(), 1u);
      EXPECT_EQ(context->gdi->width, 1024u);
      EXPECT_TRUE(freerdp_shall_disconnect(connection.instance));
    }
  }
}

// The view reads the frame under its lock; the switch to a new size waits for the reader, and
// reallocates once per size: a server that reactivates with the size it had keeps the frame.
TEST_F(FrameSinkTest, ANewSizeReplacesTheFrameOnceUnderTheFrameLock) {
  connection_.SetDesktopSize(1024, 768);
  ASSERT_TRUE(sink_.Attach(instance_));
  const TRdpFrame first = recorder_.Last();
  EXPECT_TRUE(connection_.ServerResizes(1024, 768));
  EXPECT_EQ(recorder_.frames.size(), 1u);
  EXPECT_EQ(sink_.Frame().pixels, first.pixels);

  std::atomic<bool> resized = false;
  std::thread server;
  {
    const auto reading = first.ReadLock();
    server = std::thread([&] { resized = connection_.ServerResizes(1280, 986); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(resized) << "the frame changed under a reader";
    EXPECT_EQ(recorder_.Last().pixels, first.pixels);
  }
  server.join();
  EXPECT_TRUE(resized);
  EXPECT_EQ(recorder_.frames.size(), 2u);
  EXPECT_EQ(recorder_.Last().Size(), QSize(1280, 986));

  // A size that changes in the middle of an update (the graphics pipeline's reset) does not wait
  // for the lock the update already holds.
  rdpContext* context = instance_->context;
  ASSERT_TRUE(instance_->update->BeginPaint(context));
  EXPECT_TRUE(connection_.ServerResizes(800, 600));
  ASSERT_TRUE(instance_->update->EndPaint(context));
  EXPECT_EQ(recorder_.Last().Size(), QSize(800, 600));
}

TEST_F(FrameSinkTest, ATooLargeDesktopAtConnectIsRefusedBeforeDrawingStarts) {
  connection_.SetDesktopSize(65535, 65535);
  EXPECT_FALSE(sink_.Attach(instance_));
  EXPECT_EQ(sink_.Refusal(), kDiscReasonDesktopTooLarge);
  EXPECT_TRUE(recorder_.frames.empty());
  EXPECT_EQ(instance_->context->gdi, nullptr);
}

// A reconnection asks for the size the view wants now; a server that gives exactly that sends no
// resize of its own, and the frame must not keep the last connection's size.
TEST_F(FrameSinkTest, AReconnectionsFrameTakesTheSizeOfItsDesktop) {
  connection_.SetDesktopSize(1090, 742);
  ASSERT_TRUE(sink_.Attach(instance_));
  rdpContext* context = instance_->context;
  connection_.SetDesktopSize(1280, 1024);  // asked for, and given, on the reconnection
  TRdpSession::Impl::FrameToDesktop(context);
  EXPECT_EQ(recorder_.Last().Size(), QSize(1280, 1024));
  EXPECT_EQ(context->gdi->width, 1280u);
  // The same size again leaves the frame alone.
  const size_t frames = recorder_.frames.size();
  TRdpSession::Impl::FrameToDesktop(context);
  EXPECT_EQ(recorder_.frames.size(), frames);
}

TEST_F(FrameSinkTest, ChangedAreasReachTheListenerAfterEachUpdate) {
  connection_.SetDesktopSize(320, 240);
  ASSERT_TRUE(sink_.Attach(instance_));
  rdpContext* context = instance_->context;
  ASSERT_TRUE(instance_->update->BeginPaint(context));
  gdi_InvalidateRegion(context->gdi->primary->hdc, 10, 20, 30, 40);
  ASSERT_TRUE(instance_->update->EndPaint(context));
  EXPECT_EQ(recorder_.changed, QRegion(10, 20, 30, 40));
}

// With the graphics pipeline two threads paint: the connection's (pointer and bitmap updates) and
// the dynamic channels' (the pipeline's frames). Each holds the frame from its BeginPaint to its
// EndPaint; the other waits, and both updates' areas reach the view.
TEST_F(FrameSinkTest, TwoPaintingThreadsTakeTurnsWithTheFrame) {
  connection_.SetDesktopSize(320, 240);
  ASSERT_TRUE(sink_.Attach(instance_));
  rdpContext* context = instance_->context;
  ASSERT_TRUE(instance_->update->BeginPaint(context));
  gdi_InvalidateRegion(context->gdi->primary->hdc, 0, 0, 10, 10);
  std::atomic<bool> pipelineDrew = false;
  std::thread pipeline([&] {
    instance_->update->BeginPaint(context);
    pipelineDrew = true;
    gdi_InvalidateRegion(context->gdi->primary->hdc, 50, 60, 5, 5);
    instance_->update->EndPaint(context);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(pipelineDrew) << "the pipeline drew into a frame the connection was drawing";
  ASSERT_TRUE(instance_->update->EndPaint(context));
  pipeline.join();
  EXPECT_TRUE(pipelineDrew);
  EXPECT_EQ(recorder_.changed, QRegion(0, 0, 10, 10) + QRegion(50, 60, 5, 5));
}

// FreeRDP draws each update in parts; a view that read without the lock would show the top of
// one frame over the bottom of the last. The painter fills the frame in two halves with a pause
// between them while the view paints itself as fast as it can.
TEST_F(FrameSinkTest, TheViewNeverPaintsAHalfDrawnFrame) {
  constexpr int kWidth = 256;
  constexpr int kHeight = 192;
  connection_.SetDesktopSize(kWidth, kHeight);
  ASSERT_TRUE(sink_.Attach(instance_));
  TMsRdpClient client;
  client.resize(kWidth, kHeight);
  TMsRdpClientFrameProbe::Show(client, recorder_.Last());

  std::atomic<bool> stop = false;
  std::atomic<int> drawn = 0;
  rdpContext* context = instance_->context;
  std::thread painter([&] {
    BYTE* pixels = context->gdi->primary_buffer;
    const size_t stride = context->gdi->stride;
    for (std::uint32_t colour = 0xFF000000u; !stop; colour += 0x00010203u) {
      instance_->update->BeginPaint(context);
      for (int half = 0; half < 2; ++half) {
        for (int y = half * kHeight / 2; y < (half + 1) * kHeight / 2; ++y) {
          auto* row = reinterpret_cast<std::uint32_t*>(pixels + y * stride);
          std::fill(row, row + kWidth, colour);
        }
        if (half == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
      gdi_InvalidateRegion(context->gdi->primary->hdc, 0, 0, kWidth, kHeight);
      instance_->update->EndPaint(context);
      ++drawn;
      std::this_thread::yield();
    }
  });

  QImage shown(kWidth, kHeight, QImage::Format_RGB32);
  int torn = 0;
  int distinct = 0;
  QRgb previous = 0;
  // A mutex is not fair: a view that takes the lock again at once could starve the painter, so
  // it gives the painter a moment between paints, and goes on (bounded) until frames came in.
  for (int i = 0; i < 300 || (drawn < 3 && i < 3000); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    client.viewport()->render(&shown);
    if (shown.pixel(0, 0) != shown.pixel(kWidth - 1, kHeight - 1)) ++torn;
    const QImage copy = client.Frame();
    if (copy.pixel(0, 0) != copy.pixel(kWidth - 1, kHeight - 1)) ++torn;
    if (shown.pixel(0, 0) != previous) ++distinct;
    previous = shown.pixel(0, 0);
  }
  stop = true;
  painter.join();
  EXPECT_EQ(torn, 0);
  // The frames did change under the view, so it did read while FreeRDP was drawing.
  EXPECT_GT(distinct, 1);
  EXPECT_GT(drawn.load(), 1);
}

}  // namespace

// The server draws its pointer for its own desktop. Where the view shows the desktop scaled down
// the pointer shrinks with the picture, hot spot and all, and it follows every change of scale: a
// resize of the view and a new desktop size.
TEST_F(FrameSinkTest, TheRemotePointerIsShownAtTheScaleOfThePicture) {
  connection_.SetDesktopSize(1024, 768);
  ASSERT_TRUE(sink_.Attach(instance_));
  TMsRdpClient client;
  client.resize(1100, 850);
  client.show();
  TMsRdpClientFrameProbe::Show(client, recorder_.Last());
  QImage pointer(32, 32, QImage::Format_ARGB32);
  pointer.fill(Qt::black);
  TMsRdpClientFrameProbe::Pointer(client, pointer, {10, 20});
  auto shown = [&] {
    QCoreApplication::processEvents();
    const QCursor cursor = client.viewport()->cursor();
    return std::pair(cursor.pixmap().size(), cursor.hotSpot());
  };
  EXPECT_EQ(shown(), std::pair(QSize(32, 32), QPoint(10, 20)));  // 1:1, centred

  client.resize(600, 500);  // the desktop in 600 x 450
  EXPECT_EQ(shown(), std::pair(QSize(19, 19), QPoint(6, 12)));
  client.resize(1100, 850);
  EXPECT_EQ(shown(), std::pair(QSize(32, 32), QPoint(10, 20)));

  ASSERT_TRUE(connection_.ServerResizes(2048, 1536));
  TMsRdpClientFrameProbe::Show(client, recorder_.Last());  // in 1100 x 825
  EXPECT_EQ(shown(), std::pair(QSize(17, 17), QPoint(5, 11)));
}
