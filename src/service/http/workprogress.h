#pragma once

#include <QtGlobal>
#include <array>
#include <functional>

class THttpTransfer;

// Direction of a counted transfer. The GET calls of the product only ever read.
enum TWorkMode { wmRead, wmWrite };

// The nesting of progress notifications, per mode: the handlers see one begin and one end per
// counted transfer, however deeply the reading code nests (a chunk inside a chunked body).
class TWorkProgress {
 public:
  using TBeginHandler = std::function<void(TWorkMode mode, qint64 countMax)>;
  using TWorkHandler = std::function<void(TWorkMode mode, qint64 count)>;
  using TEndHandler = std::function<void(TWorkMode mode)>;

  TWorkProgress(TBeginHandler onBegin, TWorkHandler onWork, TEndHandler onEnd);

  void Begin(TWorkMode mode, qint64 countMax);
  // `size` bytes were taken; the handler sees the running total.
  void Work(TWorkMode mode, qint64 size);
  void End(TWorkMode mode);
  // After a failure: closes every open level so that the handler's end still comes, once.
  void EndAll(TWorkMode mode);
  [[nodiscard]] int Level(TWorkMode mode) const { return state_[mode].level; }

 private:
  struct TState {
    int level = 0;
    qint64 countMax = 0;
    qint64 count = 0;
  };
  std::array<TState, 2> state_;
  TBeginHandler onBegin_;
  TWorkHandler onWork_;
  TEndHandler onEnd_;
};
