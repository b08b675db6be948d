// Which codec a server without the graphics pipeline is asked for, from the link's round trip.
#include "principal/rdp/session/rdpcodecs.h"

#include <freerdp/settings.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace {

using std::chrono::microseconds;
using Micros = std::optional<microseconds>;

TEST(RdpLinkCodec, TheRoundTripIsTheLargerOfTheKernelsAndTheServersAnswer) {
  const struct {
    const char* what;
    Micros kernel, exchange, roundTrip;
  } cases[] = {
      {"nothing measured", {}, {}, {}},
      {"kernel only", microseconds{800}, {}, microseconds{800}},
      {"answer only", {}, microseconds{50'000}, microseconds{50'000}},
      // A proxy on the way answers TCP at once: the server's answer tells the real distance.
      {"proxy hides the link", microseconds{40}, microseconds{50'300}, microseconds{50'300}},
      {"kernel longer", microseconds{30'000}, microseconds{29'000}, microseconds{30'000}},
      {"a clock that went back is no measurement", microseconds{500}, microseconds{-9},
       microseconds{500}},
  };
  for (const auto& c : cases) EXPECT_EQ(LinkRoundTrip(c.kernel, c.exchange), c.roundTrip) << c.what;
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
      {"Wi-Fi", microseconds{3'000}, "", TSurfaceCodec::Bitmaps},
      {"just under the line", kRemoteFxRoundTrip - microseconds{1}, "", TSurfaceCodec::Bitmaps},
      {"on the line", kRemoteFxRoundTrip, "", TSurfaceCodec::RemoteFx},
      {"hosted desktop nearby", microseconds{12'000}, "", TSurfaceCodec::RemoteFx},
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

TEST(RdpLinkCodec, TheChoiceReachesTheCapabilities) {
  rdpSettings* settings = freerdp_settings_new(0);
  ASSERT_NE(settings, nullptr);
  ASSERT_TRUE(ApplySurfaceCodec(settings, TSurfaceCodec::RemoteFx));
  EXPECT_TRUE(freerdp_settings_get_bool(settings, FreeRDP_RemoteFxCodec));
  // A reconnection over a short link takes the other choice back.
  ASSERT_TRUE(ApplySurfaceCodec(settings, TSurfaceCodec::Bitmaps));
  EXPECT_FALSE(freerdp_settings_get_bool(settings, FreeRDP_RemoteFxCodec));
  freerdp_settings_free(settings);
}

}  // namespace
