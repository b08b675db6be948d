#include "principal/rdp/session/rdpcodecs.h"

#include <freerdp/channels/rdpgfx.h>
#include <freerdp/client/rdpgfx.h>
#include <freerdp/codecs.h>
#include <freerdp/constants.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/gfx.h>
#include <freerdp/settings.h>
#include <winpr/wlog.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcontext.h"

namespace {

// Each codec is logged the first time it arrives in a connection: a bit per codec.
constexpr int kGfxCodecBits = 16;                 // pipeline codec ids 0 .. 15 (by their low bits)
constexpr int kSurfaceBitsShift = kGfxCodecBits;  // surface bits codec ids 0 .. 15
constexpr int kBitmapBit = 40;                    // plain bitmap updates (interleaved, planar)
constexpr int kOversizedBit = 41;                 // RemoteFX bounds clipped to the desktop

const char* GfxCodecName(UINT16 id) {
  switch (id) {
    case RDPGFX_CODECID_UNCOMPRESSED:
      return "uncompressed";
    case RDPGFX_CODECID_CAVIDEO:
      return "RemoteFX";
    case RDPGFX_CODECID_CLEARCODEC:
      return "ClearCodec";
    case RDPGFX_CODECID_CAPROGRESSIVE:
      return "progressive";
    case RDPGFX_CODECID_CAPROGRESSIVE_V2:
      return "progressive v2";
    case RDPGFX_CODECID_PLANAR:
      return "planar";
    case RDPGFX_CODECID_AVC420:
      return "H.264 AVC420";
    case RDPGFX_CODECID_ALPHA:
      return "alpha";
    case RDPGFX_CODECID_AVC444:
      return "H.264 AVC444";
    case RDPGFX_CODECID_AVC444v2:
      return "H.264 AVC444v2";
    default:
      return "an unknown codec";
  }
}

// The ids FreeRDP's drawing tells the surface codecs apart by.
const char* SurfaceCodecName(UINT16 id) {
  switch (id) {
    case RDP_CODEC_ID_NONE:
      return "raw";
    case RDP_CODEC_ID_REMOTEFX:
    case RDP_CODEC_ID_IMAGE_REMOTEFX:
      return "RemoteFX";
    case RDP_CODEC_ID_NSCODEC:
      return "NSCodec";
    default:
      return "an unknown codec";
  }
}

// True the first time a bit is set in this connection.
bool FirstTime(rdpContext* context, int bit) {
  auto& seen = reinterpret_cast<TSessionContext*>(context)->codecsSeen;
  const std::uint64_t mask = std::uint64_t{1} << bit;
  return (seen.fetch_or(mask) & mask) == 0;
}

// FreeRDP's own drawing behind each wrapped callback: the same functions for every connection.
std::atomic<pSurfaceBits> gdiSurfaceBits = nullptr;
std::atomic<pBitmapUpdate> gdiBitmapUpdate = nullptr;
std::atomic<pcRdpgfxSurfaceCommand> gdiSurfaceCommand = nullptr;

BOOL LoggedSurfaceBits(rdpContext* context, const SURFACE_BITS_COMMAND* command) {
  const UINT16 id = command->bmp.codecID;
  if (FirstTime(context, kSurfaceBitsShift + (id % kGfxCodecBits)))
    qCInfo(lcRdp).nospace() << "the server sends surface bits with " << SurfaceCodecName(id)
                            << " (codec id " << id << ")";
  const rdpGdi* gdi = context->gdi;
  if (gdi != nullptr && (id == RDP_CODEC_ID_REMOTEFX || id == RDP_CODEC_ID_IMAGE_REMOTEFX) &&
      command->destLeft <= command->destRight && command->destTop <= command->destBottom &&
      (command->destRight > static_cast<UINT32>(gdi->width) ||
       command->destBottom > static_cast<UINT32>(gdi->height))) {
    // FreeRDP ends the connection over a RemoteFX picture whose bounds reach past the desktop,
    // although its decoder clips every tile to the desktop itself. xrdp's Xorg back end sends
    // such bounds around a change of the desktop's size: the part inside is drawn, and the
    // session decides whether the two sides still agree on the size.
    if (FirstTime(context, kOversizedBit))
      qCInfo(lcRdp) << "RemoteFX bounds past the desktop, clipped: right" << command->destRight
                    << "bottom" << command->destBottom << "desktop" << gdi->width << "x"
                    << gdi->height;
    ReportSurfacePastDesktop(context);
    if (command->destLeft >= static_cast<UINT32>(gdi->width) ||
        command->destTop >= static_cast<UINT32>(gdi->height))
      return TRUE;
    SURFACE_BITS_COMMAND clipped = *command;
    clipped.destRight = std::min(clipped.destRight, static_cast<UINT32>(gdi->width));
    clipped.destBottom = std::min(clipped.destBottom, static_cast<UINT32>(gdi->height));
    return gdiSurfaceBits.load()(context, &clipped);
  }
  return gdiSurfaceBits.load()(context, command);
}

BOOL LoggedBitmapUpdate(rdpContext* context, const BITMAP_UPDATE* bitmap) {
  if (FirstTime(context, kBitmapBit)) qCInfo(lcRdp) << "the server sends bitmap updates";
  return gdiBitmapUpdate.load()(context, bitmap);
}

UINT LoggedSurfaceCommand(RdpgfxClientContext* gfx, const RDPGFX_SURFACE_COMMAND* command) {
  auto* gdi = static_cast<rdpGdi*>(gfx->custom);
  const auto id = static_cast<UINT16>(command->codecId);
  if (gdi != nullptr && FirstTime(gdi->context, id % kGfxCodecBits))
    qCInfo(lcRdp) << "the server sends the graphics pipeline with" << GfxCodecName(id);
  return gdiSurfaceCommand.load()(gfx, command);
}

void WatchCodecs(rdpContext* context) {
  rdpUpdate* update = context->update;
  if (update->SurfaceBits != nullptr && update->SurfaceBits != LoggedSurfaceBits) {
    gdiSurfaceBits = update->SurfaceBits;
    update->SurfaceBits = LoggedSurfaceBits;
  }
  if (update->BitmapUpdate != nullptr && update->BitmapUpdate != LoggedBitmapUpdate) {
    gdiBitmapUpdate = update->BitmapUpdate;
    update->BitmapUpdate = LoggedBitmapUpdate;
  }
}

}  // namespace

bool ApplyCodecSettings(rdpSettings* settings) {
  // Chosen by measurement (bench/rdp: a full-screen animation, on loopback and on a 20 Mbit/s
  // link with 25 ms each way). H.264 needs half of RemoteFX's bytes but half as much CPU again
  // a frame to decode (AVC444 three times as much), and showed fewer and older frames on both,
  // so it is not offered: the pipeline's own codecs (progressive, planar, ClearCodec) are.
  // Servers with the graphics pipeline (Windows since 8) choose among these; the others between
  // RemoteFX and bitmaps, which the link decides once measured (RemoteFX until then).
  constexpr BOOL kOfferH264 = FALSE;
  return freerdp_settings_set_bool(settings, FreeRDP_SupportGraphicsPipeline, TRUE) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxH264, kOfferH264) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444, kOfferH264) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxAVC444v2, kOfferH264) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxProgressive, TRUE) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxProgressiveV2, TRUE) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxThinClient, FALSE) &&
         freerdp_settings_set_bool(settings, FreeRDP_GfxSmallCache, TRUE) &&
         ApplySurfaceCodec(settings, TSurfaceCodec::RemoteFx) &&
         // The connection type goes out before the link can be measured, so it cannot follow
         // it. "Auto-detect" would let a Windows server measure the link itself, but xrdp 0.9
         // answers it by sending bitmaps even where RemoteFX was offered (seen in the end-to-end
         // tests): the type stays "local network", FreeRDP's own, and the client still takes
         // part when a Windows server measures (network auto-detect, also FreeRDP's default).
         freerdp_settings_set_bool(settings, FreeRDP_NetworkAutoDetect, TRUE) &&
         freerdp_settings_set_uint32(settings, FreeRDP_ConnectionType, CONNECTION_TYPE_LAN) &&
         freerdp_settings_set_bool(settings, FreeRDP_FastPathOutput, TRUE) &&
         // Frames are marked, and FreeRDP's drawing acknowledges each one once it is decoded
         // (surface frame markers, and the pipeline's end of frame): a server that paces itself
         // by the acknowledgements sends no faster than the link and this client keep up with.
         freerdp_settings_set_bool(settings, FreeRDP_FrameMarkerCommandEnabled, TRUE) &&
         freerdp_settings_set_bool(settings, FreeRDP_SurfaceFrameMarkerEnabled, TRUE);
}

void PrepareDecoders(rdpContext* context) {
  if (context == nullptr || context->codecs == nullptr) return;
  reinterpret_cast<TSessionContext*>(context)->codecsSeen = 0;
  WatchCodecs(context);
}

bool GraphicsChannelConnected(rdpContext* context, const char* name, void* channel) {
  if (std::strcmp(name, RDPGFX_DVC_CHANNEL_NAME) != 0) return false;
  auto* gfx = static_cast<RdpgfxClientContext*>(channel);
  if (context->gdi == nullptr || !gdi_graphics_pipeline_init(context->gdi, gfx)) {
    qCWarning(lcRdp) << "the graphics pipeline could not be set up";
    return true;
  }
  if (gfx->SurfaceCommand != nullptr && gfx->SurfaceCommand != LoggedSurfaceCommand) {
    gdiSurfaceCommand = gfx->SurfaceCommand;
    gfx->SurfaceCommand = LoggedSurfaceCommand;
  }
  qCInfo(lcRdp) << "the graphics pipeline is open";
  return true;
}

bool GraphicsChannelDisconnected(rdpContext* context, const char* name, void* channel) {
  if (std::strcmp(name, RDPGFX_DVC_CHANNEL_NAME) != 0) return false;
  if (context->gdi != nullptr)
    gdi_graphics_pipeline_uninit(context->gdi, static_cast<RdpgfxClientContext*>(channel));
  return true;
}

std::optional<std::chrono::microseconds> LinkRoundTrip(
    std::optional<std::chrono::microseconds> kernel,
    std::optional<std::chrono::microseconds> exchange) {
  // A clock that went back measured nothing.
  if (kernel && *kernel < std::chrono::microseconds::zero()) kernel.reset();
  if (exchange && *exchange < std::chrono::microseconds::zero()) exchange.reset();
  if (kernel && exchange) return std::max(*kernel, *exchange);
  return kernel ? kernel : exchange;
}

TSurfaceCodec ChooseSurfaceCodec(std::optional<std::chrono::microseconds> roundTrip,
                                 std::string_view forced) {
  std::string name(forced);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "remotefx") return TSurfaceCodec::RemoteFx;
  if (name == "bitmaps") return TSurfaceCodec::Bitmaps;
  // A link that could not be measured may be a slow one: RemoteFX costs some CPU where bitmaps
  // would have done, bitmaps cost seconds of delay where they would not.
  if (!roundTrip) return TSurfaceCodec::RemoteFx;
  return *roundTrip >= kRemoteFxRoundTrip ? TSurfaceCodec::RemoteFx : TSurfaceCodec::Bitmaps;
}

bool ApplySurfaceCodec(rdpSettings* settings, TSurfaceCodec codec) {
  return freerdp_settings_set_bool(settings, FreeRDP_RemoteFxCodec,
                                   codec == TSurfaceCodec::RemoteFx ? TRUE : FALSE);
}
