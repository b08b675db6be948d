#pragma once

#include <freerdp/freerdp.h>

#include "principal/rdp/session/rdpsession.h"

class TRdpFrameSink;

// FreeRDP allocates this in place of its plain context (ContextSize), so that callbacks find the
// session and the frame sink of their connection.
struct TSessionContext {
  rdpContext base;
  TRdpSession::Impl* session;
  TRdpFrameSink* frame;
};
