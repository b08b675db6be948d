#pragma once

#include <freerdp/freerdp.h>

#include <atomic>
#include <cstdint>

#include "principal/rdp/session/rdpsession.h"

class TRdpFrameSink;

// FreeRDP allocates this in place of its plain context (ContextSize), so that callbacks find the
// session and the frame sink of their connection.
struct TSessionContext {
  rdpContext base;
  TRdpSession::Impl* session;
  TRdpFrameSink* frame;
  // The codecs the server has sent in this connection, logged once each (rdpcodecs.cpp).
  std::atomic<std::uint64_t> codecsSeen;
};
