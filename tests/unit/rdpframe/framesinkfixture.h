// A FreeRDP instance that has not connected, with our context and a frame sink, for tests that
// drive the frame through the callbacks FreeRDP itself calls.
#pragma once

#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/settings.h>
#include <gtest/gtest.h>

#include <QRegion>
#include <mutex>
#include <vector>

#include "principal/rdp/session/rdpcontext.h"
#include "principal/rdp/session/rdpframesink.h"

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
