// The frame FreeRDP draws into, driven through the callbacks FreeRDP itself calls: the desktop
// size a server may ask for, and a view that never shows a half-drawn frame.
#include "principal/rdp/session/rdpframesink.h"

#include <freerdp/codec/interleaved.h>
#include <freerdp/codec/planar.h>
#include <freerdp/codec/rfx.h>
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

class Recorder : public TRdpFrameSink::Listener {
 public:
  void FrameReplaced(const TRdpFrame& frame) override {
    std::lock_guard lock(mutex);
    frames.push_back(frame);
  }
  void FrameChanged(const QRegion& region) override {
    std::lock_guard lock(mutex);
    changed += region;
  }
  TRdpFrame Last() {
    std::lock_guard lock(mutex);
    return frames.empty() ? TRdpFrame() : frames.back();
  }

  std::mutex mutex;
  std::vector<TRdpFrame> frames;
  QRegion changed;
};

// A FreeRDP instance that has not connected, with our context and a sink, as the session makes.
class Connection {
 public:
  Connection() {
    instance = freerdp_new();
    if (instance == nullptr) return;
    instance->ContextSize = sizeof(TSessionContext);
    if (!freerdp_context_new(instance)) return;
    auto* context = reinterpret_cast<TSessionContext*>(instance->context);
    context->session = nullptr;
    context->frame = &sink;
    // The decoders, made by FreeRDP when it connects.
    instance->context->codecs = codecs_new(instance->context);
    made = instance->context->codecs != nullptr &&
           freerdp_client_codecs_prepare(instance->context->codecs, FREERDP_CODEC_ALL, 1024, 768);
  }
  ~Connection() {
    if (made) {
      sink.Detach(instance);
      codecs_free(instance->context->codecs);
      instance->context->codecs = nullptr;
      freerdp_context_free(instance);
    }
    if (instance != nullptr) freerdp_free(instance);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void SetDesktopSize(UINT32 width, UINT32 height) {
    freerdp_settings_set_uint32(instance->settings, FreeRDP_DesktopWidth, width);
    freerdp_settings_set_uint32(instance->settings, FreeRDP_DesktopHeight, height);
  }
  // What FreeRDP does when the server sends a new desktop size.
  bool ServerResizes(UINT32 width, UINT32 height) {
    SetDesktopSize(width, height);
    return instance->update->DesktopResize(instance->context) != FALSE;
  }

  Recorder recorder;
  TRdpFrameSink sink{recorder};
  freerdp* instance = nullptr;
  bool made = false;
};

class FrameSinkTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(connection_.made); }
  Connection connection_;
  Recorder& recorder_ = connection_.recorder;
  TRdpFrameSink& sink_ = connection_.sink;
  freerdp*& instance_ = connection_.instance;
};

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

// A server that changes the desktop's size without telling us draws RemoteFX past the desktop we
// have: the part inside is drawn, nothing outside the frame is written (a row's overflow would
// land at the start of the next), and the connection goes on.
TEST_F(FrameSinkTest, RemoteFxPastTheDesktopIsClippedToIt) {
  constexpr UINT32 kSize = 64;
  connection_.SetDesktopSize(kSize, kSize);
  rdpContext* context = instance_->context;
  // The connection's decoders, set to this desktop as FreeRDP does on a new size.
  ASSERT_TRUE(freerdp_client_codecs_reset(context->codecs, FREERDP_CODEC_ALL, kSize, kSize));
  ASSERT_TRUE(sink_.Attach(instance_));
  PrepareDecoders(context);

  // One red tile of 64 x 64, encoded as a server would.
  std::vector<BYTE> red(kSize * kSize * 4);
  for (size_t i = 0; i < red.size(); i += 4) {
    red[i] = 0;         // blue
    red[i + 1] = 0;     // green
    red[i + 2] = 0xFF;  // red
    red[i + 3] = 0xFF;
  }
  RFX_CONTEXT* encoder = rfx_context_new(TRUE);
  ASSERT_NE(encoder, nullptr);
  rfx_context_set_pixel_format(encoder, PIXEL_FORMAT_BGRX32);
  ASSERT_TRUE(rfx_context_reset(encoder, kSize, kSize));
  wStream* stream = Stream_New(nullptr, 64 * 1024);
  ASSERT_NE(stream, nullptr);
  const RFX_RECT all{0, 0, kSize, kSize};
  ASSERT_TRUE(rfx_compose_message(encoder, stream, &all, 1, red.data(), kSize, kSize, kSize * 4));

  const rdpGdi* gdi = context->gdi;
  const std::vector<BYTE> before(gdi->primary_buffer,
                                 gdi->primary_buffer + static_cast<size_t>(gdi->stride) * kSize);
  // Drawn at (32, 32): three quarters of the tile lie past the desktop's right and bottom.
  SURFACE_BITS_COMMAND command{};
  command.cmdType = CMDTYPE_STREAM_SURFACE_BITS;
  command.destLeft = kSize / 2;
  command.destTop = kSize / 2;
  command.destRight = kSize / 2 + kSize;
  command.destBottom = kSize / 2 + kSize;
  command.bmp.bpp = 32;
  command.bmp.codecID = RDP_CODEC_ID_REMOTEFX;
  command.bmp.width = kSize;
  command.bmp.height = kSize;
  command.bmp.bitmapData = Stream_Buffer(stream);
  command.bmp.bitmapDataLength = static_cast<UINT32>(Stream_GetPosition(stream));

  ASSERT_TRUE(instance_->update->BeginPaint(context));
  EXPECT_TRUE(instance_->update->SurfaceBits(context, &command));
  ASSERT_TRUE(instance_->update->EndPaint(context));
  EXPECT_FALSE(freerdp_shall_disconnect(instance_));

  for (UINT32 y = 0; y < kSize; ++y) {
    for (UINT32 x = 0; x < kSize; ++x) {
      const size_t at = static_cast<size_t>(y) * gdi->stride + x * 4;
      const BYTE* pixel = gdi->primary_buffer + at;
      if (x >= kSize / 2 && y >= kSize / 2) {
        EXPECT_GT(pixel[2], 0xC0) << "not drawn at " << x << "," << y;
        EXPECT_LT(pixel[1], 0x40) << "not drawn at " << x << "," << y;
      } else {
        EXPECT_TRUE(std::equal(pixel, pixel + 4, before.begin() + static_cast<ptrdiff_t>(at)))
            << "written outside the picture's place at " << x << "," << y;
      }
    }
  }
  Stream_Free(stream, TRUE);
  rfx_context_free(encoder);
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

// Bitmap updates as servers send them, each compared with the picture encoded: tiles that fit
// their place are decoded straight into the frame, the others (a tile padded wider than the area
// it shows, one reaching past the desktop, one not compressed) go FreeRDP's own way; nothing is
// written outside the area, and only the area is reported changed.
TEST_F(FrameSinkTest, BitmapUpdatesLandWhereTheServerPutThem) {
  constexpr int kWidth = 320;
  constexpr int kHeight = 240;
  enum class Coding { Planar, Interleaved24, Raw32 };
  struct Case {
    const char* name;
    Coding coding;
    int x, y;                     // where the server puts it
    int width, height;            // the bitmap
    int shownWidth, shownHeight;  // the area it shows
  };
  const Case cases[] = {
      {"planar tile", Coding::Planar, 10, 20, 64, 64, 64, 64},
      {"interleaved tile", Coding::Interleaved24, 100, 50, 64, 32, 64, 32},
      {"padded at the right edge", Coding::Planar, 254, 0, 68, 16, 66, 16},
      {"past the bottom", Coding::Planar, 0, 200, 64, 64, 64, 64},
      {"not compressed", Coding::Raw32, 30, 30, 16, 8, 16, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connection connection;
    ASSERT_TRUE(connection.made);
    connection.SetDesktopSize(kWidth, kHeight);
    ASSERT_TRUE(connection.sink.Attach(connection.instance));
    rdpContext* context = connection.instance->context;

    QImage picture(c.width, c.height, QImage::Format_RGB32);
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x)
        picture.setPixel(x, y, qRgb((x * 7 + y) & 0xFF, (y * 5) & 0xFF, (x ^ y) & 0xFF));
    std::vector<BYTE> encoded(static_cast<size_t>(c.width) * c.height * 4 + 1024);
    UINT32 size = static_cast<UINT32>(encoded.size());
    const auto width = static_cast<UINT32>(c.width);
    const auto height = static_cast<UINT32>(c.height);
    BITMAP_DATA bitmap{};
    if (c.coding == Coding::Planar) {
      BITMAP_PLANAR_CONTEXT* planar = freerdp_bitmap_planar_context_new(
          PLANAR_FORMAT_HEADER_NA | PLANAR_FORMAT_HEADER_RLE, 128, 128);
      ASSERT_NE(planar, nullptr);
      ASSERT_NE(freerdp_bitmap_compress_planar(
                    planar, picture.constBits(), PIXEL_FORMAT_BGRX32, width, height,
                    static_cast<UINT32>(picture.bytesPerLine()), encoded.data(), &size),
                nullptr);
      freerdp_bitmap_planar_context_free(planar);
      bitmap.bitsPerPixel = 32;
      bitmap.compressed = TRUE;
    } else if (c.coding == Coding::Interleaved24) {
      ASSERT_TRUE(interleaved_compress(
          context->codecs->interleaved, encoded.data(), &size, width, height, picture.constBits(),
          PIXEL_FORMAT_BGRX32, static_cast<UINT32>(picture.bytesPerLine()), 0, 0, nullptr, 24));
      bitmap.bitsPerPixel = 24;
      bitmap.compressed = TRUE;
    } else {
      // Bottom-up rows, as the protocol has them.
      size = width * height * 4;
      for (int y = 0; y < c.height; ++y)
        std::memcpy(encoded.data() + static_cast<size_t>(c.height - 1 - y) * width * 4,
                    picture.constScanLine(y), width * 4);
      bitmap.bitsPerPixel = 32;
    }
    bitmap.destLeft = static_cast<UINT32>(c.x);
    bitmap.destTop = static_cast<UINT32>(c.y);
    bitmap.destRight = static_cast<UINT32>(c.x + c.shownWidth - 1);
    bitmap.destBottom = static_cast<UINT32>(c.y + c.shownHeight - 1);
    bitmap.width = width;
    bitmap.height = height;
    bitmap.bitmapLength = size;
    bitmap.bitmapDataStream = encoded.data();
    BITMAP_UPDATE update{};
    update.number = update.count = 1;
    update.rectangles = &bitmap;

    ASSERT_TRUE(connection.instance->update->BeginPaint(context));
    ASSERT_TRUE(connection.instance->update->BitmapUpdate(context, &update));
    ASSERT_TRUE(connection.instance->update->EndPaint(context));

    const QRect shown = QRect(c.x, c.y, c.shownWidth, c.shownHeight) & QRect(0, 0, kWidth, kHeight);
    EXPECT_EQ(connection.recorder.changed, QRegion(shown));
    const QImage frame = connection.sink.Frame().Copy();
    int wrong = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const QRgb expected =
            shown.contains(x, y) ? picture.pixel(x - c.x, y - c.y) : qRgb(0, 0, 0);
        if ((frame.pixel(x, y) & 0xFFFFFF) != (expected & 0xFFFFFF)) ++wrong;
      }
    EXPECT_EQ(wrong, 0);
  }
}

// A rectangle the decoder refuses ends the connection, as FreeRDP's own drawing does.
TEST_F(FrameSinkTest, ABitmapTheDecoderRefusesFailsTheUpdate) {
  connection_.SetDesktopSize(320, 240);
  ASSERT_TRUE(sink_.Attach(instance_));
  rdpContext* context = instance_->context;
  BYTE garbage[16] = {0x20, 0xFF, 0xFF, 0xFF};  // RLE planes whose sizes run past the data
  BITMAP_DATA bitmap{};
  bitmap.destRight = bitmap.destBottom = 63;
  bitmap.width = bitmap.height = 64;
  bitmap.bitsPerPixel = 32;
  bitmap.compressed = TRUE;
  bitmap.bitmapLength = sizeof(garbage);
  bitmap.bitmapDataStream = garbage;
  BITMAP_UPDATE update{};
  update.number = update.count = 1;
  update.rectangles = &bitmap;
  ASSERT_TRUE(instance_->update->BeginPaint(context));
  EXPECT_FALSE(instance_->update->BitmapUpdate(context, &update));
  ASSERT_TRUE(instance_->update->EndPaint(context));
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
