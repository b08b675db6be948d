#pragma once

#include <QProgressDialog>
#include <memory>
#include <thread>

#include "principal/rdp/session/clipboard/filefetcher.h"
#include "principal/rdp/session/clipboard/rdpclipboard.h"

// Private to the clipboard's files: the state of a file paste, which the clipboard's end waits
// for.

// One paste of a remote file list: asking for the list, then fetching on a worker thread. Its
// steps are driven by events, not by the stack of whoever asked first, so every local program
// waiting for it (each in its own nested event loop) sees it end.
struct TRdpClipboard::PasteRun {
  std::uint32_t formatId = 0;
  bool done = false;
  TFetchResult result;
  std::shared_ptr<DataWait> list;  // while the list is asked for
  bool listTimedOut = false;
  std::unique_ptr<QProgressDialog> progress;
  std::thread worker;
};
