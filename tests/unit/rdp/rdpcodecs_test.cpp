// Which codec a server without the graphics pipeline is asked for, from the link's round trip.
#include "principal/rdp/session/rdpcodecs.h"

#include <freerdp/settings.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using std::chrono::microseconds;
using Micros = std::optional<microseconds>;

TEST(RdpLinkCodec, TheRoundTripIsTheLargerOfTheKernelsAndTheHandshakesShare) {
  const struct {
    const char* what;
    Micros kernel, toCertificate, roundTrip;
  } cases[] = {
      {"nothing measured", {}, {}, {}},
      {"kernel only", microseconds{800}, {}, microseconds{800}},
      {"handshake only: three round trips", {}, microseconds{150'000}, microseconds{50'000}},
      // A proxy on the way answers TCP at once: the handshake tells the real distance.
      {"proxy hides the link", microseconds{40}, microseconds{151'000}, microseconds{50'333}},
      // A busy server's handshake is slow, but the kernel saw a long path already.
      {"kernel longer", microseconds{30'000}, microseconds{60'000}, microseconds{30'000}},
      {"a clock that went back is no measurement", microseconds{500}, microseconds{-9},
       microseconds{500}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LinkRoundTrip(c.kernel, c.toCertificate), c.roundTrip) << c.what;
}

TEST(RdpLinkCodec, BitmapsOnlyWhereTheLinkIsShortUnlessForced) {
  const struct {
    const char* what;
    Micros roundTrip;
    const char* forced;
    TSurfaceCodec codec;
  } cases[] = {
      {"loopback", microseconds{60}, "", TSurfaceCodec::Bitmaps},
      {"wired network", microseconds{900}, "", TSurfaceCodec::Bitmaps},
      {"just under the line", kRemoteFxRoundTrip - microseconds{1}, "", TSurfaceCodec::Bitmaps},
      {"on the line", kRemoteFxRoundTrip, "", TSurfaceCodec::RemoteFx},
      {"home connection", microseconds{50'000}, "", TSurfaceCodec::RemoteFx},
      {"not measured", {}, "", TSurfaceCodec::RemoteFx},
      {"forced RemoteFX on loopback", microseconds{60}, "remotefx", TSurfaceCodec::RemoteFx},
      {"forced, any case", microseconds{60}, "RemoteFX", TSurfaceCodec::RemoteFx},
      {"forced bitmaps on a long link", microseconds{50'000}, "bitmaps", TSurfaceCodec::Bitmaps},
      {"an unknown name is no force", microseconds{60}, "h264", TSurfaceCodec::Bitmaps},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseSurfaceCodec(c.roundTrip, c.forced), c.codec) << c.what;
}

TEST(RdpLinkCodec, TheChoiceReachesTheCapabilitiesAndTheConnectionType) {
  rdpSettings* settings = freerdp_settings_new(0);
  ASSERT_NE(settings, nullptr);
  ASSERT_TRUE(ApplySurfaceCodec(settings, TSurfaceCodec::RemoteFx));
  EXPECT_TRUE(freerdp_settings_get_bool(settings, FreeRDP_RemoteFxCodec));
  EXPECT_TRUE(freerdp_settings_get_bool(settings, FreeRDP_NetworkAutoDetect));
  EXPECT_EQ(freerdp_settings_get_uint32(settings, FreeRDP_ConnectionType),
            static_cast<UINT32>(CONNECTION_TYPE_AUTODETECT));
  // A reconnection over a short link takes the other choice back.
  ASSERT_TRUE(ApplySurfaceCodec(settings, TSurfaceCodec::Bitmaps));
  EXPECT_FALSE(freerdp_settings_get_bool(settings, FreeRDP_RemoteFxCodec));
  EXPECT_EQ(freerdp_settings_get_uint32(settings, FreeRDP_ConnectionType),
            static_cast<UINT32>(CONNECTION_TYPE_LAN));
  freerdp_settings_free(settings);
}

}  // namespace
