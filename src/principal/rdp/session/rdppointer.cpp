#include "principal/rdp/session/rdppointer.h"

#include <freerdp/codec/color.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/graphics.h>

#include <memory>

namespace {

// The pointer class FreeRDP allocates for us: its own fields followed by our converted image.
struct SessionPointer {
  rdpPointer pointer;
  QImage* image;
};

BOOL PointerNew(rdpContext* context, rdpPointer* pointer) {
  auto* ours = reinterpret_cast<SessionPointer*>(pointer);
  ours->image = nullptr;
  if (pointer->width == 0 || pointer->height == 0) return TRUE;
  auto image = std::make_unique<QImage>(static_cast<int>(pointer->width),
                                        static_cast<int>(pointer->height), QImage::Format_ARGB32);
  if (!freerdp_image_copy_from_pointer_data(
          image->bits(), PIXEL_FORMAT_BGRA32, static_cast<UINT32>(image->bytesPerLine()), 0, 0,
          pointer->width, pointer->height, pointer->xorMaskData, pointer->lengthXorMask,
          pointer->andMaskData, pointer->lengthAndMask, pointer->xorBpp, &context->gdi->palette))
    return FALSE;
  ours->image = image.release();
  return TRUE;
}

void PointerFree(rdpContext*, rdpPointer* pointer) {
  auto* ours = reinterpret_cast<SessionPointer*>(pointer);
  delete ours->image;
  ours->image = nullptr;
}

BOOL PointerSet(rdpContext* context, const rdpPointer* pointer) {
  const auto* ours = reinterpret_cast<const SessionPointer*>(pointer);
  QImage image = ours->image != nullptr ? ours->image->copy() : QImage();
  const QPoint hotSpot(static_cast<int>(pointer->xPos), static_cast<int>(pointer->yPos));
  ReportSessionCursor(context, image, hotSpot, true);
  return TRUE;
}

BOOL PointerSetNull(rdpContext* context) {
  ReportSessionCursor(context, {}, {}, false);
  return TRUE;
}

BOOL PointerSetDefault(rdpContext* context) {
  ReportSessionCursor(context, {}, {}, true);
  return TRUE;
}

BOOL PointerSetPosition(rdpContext*, UINT32, UINT32) {
  // Moving the person's own pointer from the remote side is not done.
  return TRUE;
}

}  // namespace

void RegisterSessionPointer(rdpContext* context) {
  rdpPointer pointer{};
  pointer.size = sizeof(SessionPointer);
  pointer.New = PointerNew;
  pointer.Free = PointerFree;
  pointer.Set = PointerSet;
  pointer.SetNull = PointerSetNull;
  pointer.SetDefault = PointerSetDefault;
  pointer.SetPosition = PointerSetPosition;
  graphics_register_pointer(context->graphics, &pointer);
}
