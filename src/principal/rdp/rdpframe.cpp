#include "principal/rdp/rdpframe.h"

// The frame as the view reads it. The sink that fills it from FreeRDP is in rdpframesink.cpp, in
// the session library: this part is in the program itself.

std::unique_lock<std::mutex> TRdpFrame::ReadLock() const {
  if (!lock) return {};
  return std::unique_lock<std::mutex>(*lock);
}

QImage TRdpFrame::Image() const {
  if (IsNull()) return {};
  // The image keeps the pixels alive for as long as it (or a copy of it) is in use.
  auto* owner = new std::shared_ptr<std::uint8_t[]>(pixels);
  return QImage(
      pixels.get(), width, height, stride, QImage::Format_RGB32,
      [](void* info) { delete static_cast<std::shared_ptr<std::uint8_t[]>*>(info); }, owner);
}

QImage TRdpFrame::Copy() const {
  const auto held = ReadLock();
  return Image().copy();
}
