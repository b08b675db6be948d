// Pictures decoded into the frame as servers send them: bitmap updates, and RemoteFX from a server
// whose desktop size went out of step with ours.
#include <freerdp/codec/interleaved.h>
#include <freerdp/codec/planar.h>
#include <freerdp/codec/rfx.h>
#include <freerdp/gdi/gdi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "framesinkfixture.h"
#include "principal/rdp/session/rdpcodecs.h"

namespace {

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

}  // namespace
